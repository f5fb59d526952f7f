// Every toolkit operation on pictures of any size from 0 x 0 to 300 x 300 and
// any content, with parameters drawn within each operation's documented
// contract: block sizes and grids that fit, destinations of the right size,
// kernels of any shape (the filters reject bad ones themselves). Each array
// has exactly the samples its picture needs, so that any read or write past
// it is caught.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "tools/definitions.h"


namespace {

template <typename T>
struct Buffer {
    Buffer(int32_t w, int32_t h) : samples(static_cast<size_t>(w) * static_cast<size_t>(h)) {
        view = {w, h, samples.empty() ? nullptr : samples.data()};
    }
    std::vector<T> samples;
    struct View {
        int32_t w;
        int32_t h;
        T* data;
    } view;
};

Image image(Buffer<uint8_t>& b) {
    return Image{b.view.w, b.view.h, b.view.data};
}
Image32 image32(Buffer<int32_t>& b) {
    return Image32{b.view.w, b.view.h, b.view.data};
}
ImageDouble imageDouble(Buffer<double>& b) {
    return ImageDouble{b.view.w, b.view.h, b.view.data};
}

void fill8(FuzzInput& in, Buffer<uint8_t>& b) {
    in.fill(b.samples.data(), b.samples.size());
}

// 32-bit samples: small signed values, or any 32-bit pattern.
void fill32(FuzzInput& in, Buffer<int32_t>& b) {
    const bool wide = in.flag();
    std::vector<uint8_t> bytes(b.samples.size() * 2);
    in.fill(bytes.data(), bytes.size());
    uint32_t state = in.u32() | 1u;
    for (size_t i = 0; i < b.samples.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b.samples[i] = wide ? static_cast<int32_t>(state)
                            : static_cast<int32_t>(bytes[2 * i] | bytes[2 * i + 1] << 8) - 32768;
    }
}

void fillDouble(FuzzInput& in, Buffer<double>& b) {
    std::vector<uint8_t> bytes(b.samples.size());
    in.fill(bytes.data(), bytes.size());
    const bool special = in.flag();
    for (size_t i = 0; i < b.samples.size(); ++i) {
        b.samples[i] = special && bytes[i] % 17 == 0 ? in.real() : bytes[i] - 100.0;
    }
}

// A kernel: usually square with an odd side of 3 to 9, sometimes any shape.
Buffer<double> kernel(FuzzInput& in) {
    int32_t kw = 3 + 2 * in.range(0, 3);
    int32_t kh = kw;
    if (in.byte() < 32) {
        kw = in.range(0, 10);
        kh = in.range(0, 10);
    }
    Buffer<double> k(kw, kh);
    for (double& v : k.samples) v = in.range(-8, 8) / 4.0;
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The debug dumps and the filters' messages go to standard output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int operation = in.byte();
    const int32_t w = in.range(0, 300);
    const int32_t h = in.range(0, 300);
    const int32_t n = w * h;
    Buffer<uint8_t> src(w, h);
    fill8(in, src);
    const Image s = image(src);

    switch (operation % 26) {
        case 0: {
            spatialAct(s);
            Image a = allocImage(w, h);
            Image32 b = callocImage32(w, h);
            ImageDouble c = callocImageDouble(w, h);
            require(n == 0 || (b.data[n - 1] == 0 && c.data[n - 1] == 0.0),
                    "zero-filled pictures are not zero");
            freeImage(a);
            freeImage32(b);
            freeImageDouble(c);
            break;
        }
        case 1: {
            Buffer<uint8_t> other(in.range(w, 300), h);
            fill8(in, other);
            temporalAct(s, image(other));
            break;
        }
        case 2: {
            const int32_t bw = in.range(1, 32);
            const int32_t bh = in.range(1, 32);
            Buffer<int32_t> dst(in.range(0, w / bw), in.range(0, h / bh));
            Image32 d = image32(dst);
            blockSums(s, d, bw, bh);
            break;
        }
        case 3: {
            if (n == 0) break;
            const int32_t offset = in.range(0, n - 1);
            // Positions y * w + x with x < dw, y < dh, all with i + offset < n.
            const int32_t last = n - 1 - offset;
            const int32_t dh = in.range(0, last / w + 1 > h ? h : last / w + 1);
            const int32_t dw =
                dh == 0 ? in.range(0, w) : in.range(0, std::min(w, last - (dh - 1) * w + 1));
            Buffer<uint8_t> dst(dw, dh);
            Image d = image(dst);
            compareShifted(s, d, offset);
            break;
        }
        case 4: {
            Buffer<double> a(w, h), b(w, h), out(w, h);
            fillDouble(in, a);
            fillDouble(in, b);
            ImageDouble o = imageDouble(out);
            divideDouble(imageDouble(a), imageDouble(b), o);
            break;
        }
        case 5: {
            Buffer<int32_t> dst(h, w);  // same count, another shape
            Image32 d = image32(dst);
            convU8toI32(s, d);
            Buffer<uint8_t> back(w, h);
            Image b = image(back);
            convI32toU8(d, b);
            require(areEqual(s, b) == 1, "a picture widened and narrowed changed");
            break;
        }
        case 6: {
            Buffer<int32_t> wide(w, h);
            fill32(in, wide);
            Buffer<uint8_t> dst(w, h);
            Image d = image(dst);
            convI32toU8(image32(wide), d);
            break;
        }
        case 7: {
            Buffer<uint8_t> other(in.range(0, 300), in.range(0, 300));
            fill8(in, other);
            areEqual(s, image(other));
            break;
        }
        case 8: {
            Buffer<uint8_t> b(w, h);
            fill8(in, b);
            Buffer<int32_t> dst(w, h);
            Image32 d = image32(dst);
            addSquares(s, image(b), d);
            break;
        }
        case 9: {
            Buffer<int32_t> a(w, h), b(w, h);
            fill32(in, a);
            fill32(in, b);
            Buffer<double> dst(w, h);
            ImageDouble d = imageDouble(dst);
            divide(image32(a), image32(b), d);
            Buffer<double> roots(h, w);
            ImageDouble r = imageDouble(roots);
            imageSqrt(d, r);
            break;
        }
        case 10: {
            const int32_t x0 = in.range(-5, 5);
            const int32_t y0 = in.range(-5, 5);
            const int32_t x1 = x0 + in.range(-2, 20);
            const int32_t y1 = y0 + in.range(-2, 20);
            const int64_t lines = y1 >= y0 ? int64_t{y1} - y0 + 1 : 0;
            const int64_t perLine = x1 >= x0 ? int64_t{x1} - x0 + 1 : 0;
            if (lines * perLine > n) break;  // the array must hold what is printed
            printRange(s, x0, x1, y0, y1);
            Buffer<int32_t> wide(w, h);
            fill32(in, wide);
            printRange32(image32(wide), x0, x1, y0, y1);
            break;
        }
        case 11: {
            Buffer<int32_t> a(w, h), unused(1, 1);
            fill32(in, a);
            Image32 u = image32(unused);
            tempCountSeqsH(image32(a), u, in.range(-100, 100), 0, 0, in.range(-2, 40));
            tempCountSeqsH2(image32(a), u, in.range(-100, 100));
            break;
        }
        case 12: {
            Buffer<double> k = kernel(in);
            const uint32_t bw = static_cast<uint32_t>(in.range(0, 40));
            const uint32_t bh = static_cast<uint32_t>(in.range(0, h));
            const uint32_t blocks = bw == 0 ? 0 : static_cast<uint32_t>(in.range(0, w / bw));
            const bool sameSize = in.byte() >= 16;
            Buffer<double> dst(sameSize ? w : w + 1, h);
            ImageDouble d = imageDouble(dst);
            const int32_t result = filter(s, d, imageDouble(k), blocks, bw, bh);
            require(result == 0 || result == -1, "filter returned neither 0 nor -1");
            break;
        }
        case 13: {
            Buffer<double> k = kernel(in);
            Buffer<double> values(w, h);
            fillDouble(in, values);
            const int32_t bw = in.range(1, 40);
            const int32_t bh = in.range(1, 40);
            const int32_t gw = in.range(0, w / bw);
            const int32_t gh = in.range(0, h / bh);
            Buffer<double> sums(gw, gh), squares(gw, gh), devs(gw, gh);
            ImageDouble su = imageDouble(sums), sq = imageDouble(squares), de = imageDouble(devs);
            calculateStdDevsDouble_ommitZeros(imageDouble(values), su, sq, de, imageDouble(k), bw,
                                              bh);
            break;
        }
        case 14: {
            Buffer<uint8_t> previous(w, h);
            fill8(in, previous);
            const int32_t bs = in.range(1, 32);
            const int32_t gw = in.range(0, w / bs);
            const int32_t gh = in.range(0, h / bs);
            Buffer<uint8_t> counters(gw, gh), states(gw, gh);
            fill8(in, counters);
            for (uint8_t& state : states.samples) state = in.byte() & 1;
            Buffer<double> levels(gw, gh);
            Image c = image(counters), st = image(states);
            ImageDouble l = imageDouble(levels);
            calculateFlickering(s, image(previous), c, st, l, bs, in.real());
            break;
        }
        case 15: {
            Buffer<int32_t> dx(w, h), dy(w, h);
            Image32 x = image32(dx), y = image32(dy);
            gradient(s, x, y);
            absGradient(s, x, y);
            break;
        }
        case 16: {
            // Block sums of squares stay within 32 bits for blocks up to 64 x 64.
            const int32_t bw = in.range(1, 64);
            const int32_t bh = in.range(1, 64);
            const int32_t gw = in.range(0, w / bw);
            const int32_t gh = in.range(0, h / bh);
            Buffer<int32_t> sums(gw, gh), squares(gw, gh);
            Buffer<double> devs(gw, gh);
            Image32 su = image32(sums), sq = image32(squares);
            ImageDouble de = imageDouble(devs);
            calculateStdDevs(s, su, sq, de, bw, bh);
            break;
        }
        case 17: {
            const int32_t total = sumPixels(s);
            require(total == sumH(s.data, w, h) && total == sumV(s.data, w, h),
                    "the three whole-picture sums differ");
            break;
        }
        case 18: {
            Buffer<int32_t> integ(w, h);
            Image32 i = image32(integ);
            integrate(s, i);
            const int32_t bw = in.range(0, 40);
            const int32_t bh = in.range(0, 40);
            const int32_t gw = bw == 0 ? in.range(0, 8) : in.range(0, w / bw);
            const int32_t gh = bh == 0 ? in.range(0, 8) : in.range(0, h / bh);
            Buffer<int32_t> out(gw, gh);
            Image32 o = image32(out);
            blockSumsInteg(i, o, bw, bh);
            Buffer<uint8_t> copy(w, h);
            Image c = image(copy);
            onlyCopy(s, c);
            Buffer<int32_t> out2(gw, gh);
            Image32 o2 = image32(out2);
            blockSumsInteg2(c, o2, bw, bh);
            break;
        }
        case 19: {
            Buffer<int32_t> dx(w, h), dy(w, h);
            Image32 x = image32(dx), y = image32(dy);
            roberts(s, x, y);
            break;
        }
        case 20: {
            // The grid reaches source column sx * (gw - 1) and row sy * (gh - 1).
            const int32_t sx = in.range(1, 16);
            const int32_t sy = in.range(1, 16);
            const int32_t gw = w == 0 ? 0 : in.range(0, (w - 1) / sx + 1);
            const int32_t gh = h == 0 ? 0 : in.range(0, (h - 1) / sy + 1);
            Buffer<int32_t> dx(gw, gh), dy(gw + in.range(0, 3), gh);
            Image32 x = image32(dx), y = image32(dy);
            robertsSkip(s, x, y, sx, sy);
            break;
        }
        case 21: {
            Buffer<int32_t> a(w, h), b(w, h), dst(w, h);
            fill32(in, a);
            fill32(in, b);
            Image32 d = image32(dst);
            addSquares32(image32(a), image32(b), d);
            multiply(image32(a), image32(b), d);
            sumPixels32(d);
            break;
        }
        case 22:
        case 23: {
            Buffer<int32_t> values(w, h);
            fill32(in, values);
            const int32_t bw = in.range(1, 40);
            const int32_t bh = in.range(1, 40);
            const int32_t gw = in.range(0, w / bw);
            const int32_t gh = in.range(0, h / bh);
            Buffer<int32_t> dst(gw, gh);
            Image32 d = image32(dst);
            const double t = in.range(-50, 50) * 10.0;
            const int length = in.range(-1, 20);
            if (operation % 26 == 22) {
                require(countSeqsH(image32(values), d, bw, bh, t, length) == 0,
                        "countSeqsH returned non-zero");
            } else {
                Buffer<int32_t> counters(gw * bw, 1);
                Image32 c = image32(counters);
                require(countSeqsV(image32(values), d, c, bw, bh, t, length) == 0,
                        "countSeqsV returned non-zero");
                for (int32_t v : counters.samples) require(v == 0, "run counters left non-zero");
            }
            break;
        }
        case 24: {
            Buffer<int32_t> dx(w, h), dy(w, h);
            Image32 x = image32(dx), y = image32(dy);
            const double root = sobel(s, x, y);
            require(root >= 0.0, "a negative Sobel energy");
            break;
        }
        default: {
            Buffer<uint8_t> dx(w, h), dy(w, h);
            Image x = image(dx), y = image(dy);
            sobel2(s, x, y);
            break;
        }
    }
    return 0;
}
