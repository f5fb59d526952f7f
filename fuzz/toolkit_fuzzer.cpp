// Every toolkit operation on pictures of any size from 0 x 0 to 300 x 300 and
// any content, with parameters drawn within each operation's documented
// contract: block sizes and grids that fit, destinations of the right size,
// kernels of any shape (the filters reject bad ones themselves). Each array
// has exactly the samples its picture needs, so that any read or write past
// it is caught.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "toolkit/toolkit.h"

namespace {

template <typename T, typename I>
struct Buf {
    Buf(int32_t w, int32_t h)
        : v(static_cast<size_t>(w) * static_cast<size_t>(h)),
          img{w, h, v.empty() ? nullptr : v.data()} {}
    Buf(const Buf&) = delete;
    Buf(Buf&&) = default;  // the samples stay where the record points
    std::vector<T> v;
    I img;
};
using B8 = Buf<uint8_t, Image>;
using B32 = Buf<int32_t, Image32>;
using BD = Buf<double, ImageDouble>;

B8 fill(FuzzInput& in, B8 b) {
    in.fill(b.v.data(), b.v.size());
    return b;
}
// Any 32-bit patterns, or small signed values.
B32 fill(FuzzInput& in, B32 b) {
    const bool wide = in.flag();
    in.fill(reinterpret_cast<uint8_t*>(b.v.data()), b.v.size() * sizeof(int32_t));
    for (int32_t& s : b.v) s = wide ? s : s % 32768;
    return b;
}
// Small values with, now and then, the special ones (0, infinities, NaN ...).
BD fill(FuzzInput& in, BD b) {
    const bool special = in.flag();
    for (double& s : b.v) s = special && in.byte() < 16 ? in.real() : in.byte() - 100.0;
    return b;
}
// Usually square with an odd side of 3 to 9, sometimes any shape.
BD kernel(FuzzInput& in) {
    const int32_t side = 3 + 2 * in.range(0, 3);
    const bool odd = in.byte() < 32;
    const int32_t kw = odd ? in.range(0, 10) : side, kh = odd ? in.range(0, 10) : side;
    BD k(kw, kh);
    for (double& v : k.v) v = in.range(-8, 8) / 4.0;
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The filters' messages go to standard output.
    return std::freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int operation = in.byte() % 9;
    const int32_t w = in.range(0, 300), h = in.range(0, 300), n = w * h;
    const B8 src = fill(in, B8(w, h));
    const Image& s = src.img;
    // A block size and a grid of at most the whole blocks of the picture; a
    // threshold and a run length.
    const int32_t bw = in.range(1, 40), bh = in.range(1, 40), gw = in.range(0, w / bw),
                  gh = in.range(0, h / bh);
    const int32_t t = in.range(-50, 50) * 10, length = in.range(-2, 40);
    // Pictures of the size of the source: 32-bit values, and destinations.
    const auto values = [&] { return fill(in, B32(w, h)); };
    B32 g32(gw, gh), g32b(gw, gh);
    switch (operation) {
        case 0: {
            spatialAct(s);
            temporalAct(s, fill(in, B8(in.range(w, 300), h)).img);
            Image32 zeros = callocImage32(w, h);
            require(n == 0 || zeros.data[n - 1] == 0, "a zero-filled picture is not zero");
            freeImage32(zeros);
            break;
        }
        case 1: {
            blockSums(s, g32.img, bw, bh);
            // Positions y * w + x with x < dw, y < dh, all with i + offset < n.
            if (n == 0) break;
            const int32_t offset = in.range(0, n - 1), last = n - 1 - offset;
            const int32_t dh = in.range(0, std::min(h, last / w + 1));
            B8 dst(dh == 0 ? in.range(0, w) : in.range(0, std::min(w, last - (dh - 1) * w + 1)),
                   dh);
            compareShifted(s, dst.img, offset);
            break;
        }
        case 2: {
            const BD a = fill(in, BD(w, h)), b = fill(in, BD(w, h));
            BD dd(w, h);
            divideDouble(a.img, b.img, dd.img);
            break;
        }
        case 3: {
            const BD k = kernel(in);
            const uint32_t fw = in.range(0, 40), fh = in.range(0, h);
            BD dst(in.byte() < 16 ? w + 1 : w, h);
            const int32_t result =
                filter(s, dst.img, k.img, fw == 0 ? 0 : in.range(0, w / fw), fw, fh);
            require(result == 0 || result == -1, "filter returned neither 0 nor -1");
            break;
        }
        case 4: {
            const BD samples = fill(in, BD(w, h)), k = kernel(in);
            BD sums(gw, gh), squares(gw, gh), devs(gw, gh);
            calculateStdDevsDouble_ommitZeros(samples.img, sums.img, squares.img, devs.img, k.img,
                                              bw, bh);
            break;
        }
        case 5: {
            const int32_t bs = in.range(1, 32);
            B8 counters = fill(in, B8(w / bs, h / bs)), states(w / bs, h / bs);
            for (uint8_t& state : states.v) state = in.byte() & 1;
            BD levels(w / bs, h / bs);
            const B8 previous = fill(in, B8(w, h));
            calculateFlickering(s, previous.img, counters.img, states.img, levels.img, bs,
                                in.real());
            break;
        }
        case 6: {
            B32 d32(w, h), e32(w, h);
            gradient(s, d32.img, e32.img);
            // Block sums of squares stay within 32 bits for blocks up to 64 x 64.
            const int32_t sw = in.range(1, 64), sh = in.range(1, 64);
            B32 sums(w / sw, h / sh), squares(w / sw, h / sh);
            BD devs(w / sw, h / sh);
            calculateStdDevs(s, sums.img, squares.img, devs.img, sw, sh);
            break;
        }
        case 7: {
            const B32 a32 = values(), b32 = values();
            B32 d32(w, h), e32(w, h);
            roberts(s, d32.img, e32.img);
            addSquares32(a32.img, b32.img, d32.img);
            multiply(a32.img, b32.img, d32.img);
            sumPixels32(d32.img);
            // The grid reaches source column sx * (cw - 1) and row sy * (ch - 1).
            const int32_t sx = in.range(1, 16), sy = in.range(1, 16);
            const int32_t cw = w == 0 ? 0 : in.range(0, (w - 1) / sx + 1),
                          ch = h == 0 ? 0 : in.range(0, (h - 1) / sy + 1);
            B32 x(cw, ch), y(cw + in.range(0, 3), ch);
            robertsSkip(s, x.img, y.img, sx, sy);
            break;
        }
        default: {
            const B32 a32 = values();
            require(countSeqsH(a32.img, g32.img, bw, bh, t, length) == 0,
                    "countSeqsH returned non-zero");
            B32 counters(gw * bw, 1);
            require(countSeqsV(a32.img, g32b.img, counters.img, bw, bh, t, length) == 0,
                    "countSeqsV returned non-zero");
            for (const int32_t v : counters.v) require(v == 0, "run counters left non-zero");
            break;
        }
    }
    return 0;
}
