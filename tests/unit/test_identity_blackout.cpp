// The fast blackout against its reference composition: identical flags on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(BlackoutIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(
        pictures, [](const Image& img) { return static_cast<double>(blackout(img)); },
        [](const Image& img) { return static_cast<double>(reference::blackout(img)); });
}

// Nearly flat pictures whose block means spread by just under, exactly and
// just over the threshold (block sums 255, 256 and 257 apart), with the odd
// block in the first, a middle or the last whole block; a change beyond the
// whole blocks does not count.
TEST(BlackoutIdentity, SpreadsAroundTheThresholdMatchReference) {
    std::vector<IdentityPicture> pictures;
    std::vector<uint8_t> flags;
    for (const auto& [w, h] : {std::pair{8, 8}, {16, 8}, {67, 53}, {200, 120}, {483, 270}})
        for (int base : {0, 100, 250})
            for (int delta : {255, 256, 257})
                for (int where = 0; where < 3; ++where) {
                    IdentityPicture p = makeIdentityPicture(w, h, IdentityContent::Uniform, 0);
                    for (auto& s : p.samples) s = static_cast<uint8_t>(base);
                    const int32_t bw = w / 8;
                    const int32_t bh = h / 8;
                    const int32_t bx = where == 0 ? 0 : where == 1 ? bw / 2 : bw - 1;
                    const int32_t by = where == 0 ? 0 : where == 1 ? bh / 2 : bh - 1;
                    // 64 samples raised by 4 add 256; one less or more on the first.
                    for (int32_t y = 0; y < 8; ++y)
                        for (int32_t x = 0; x < 8; ++x)
                            p.samples[static_cast<size_t>(by * 8 + y) * w + bx * 8 + x] =
                                static_cast<uint8_t>(base + 4 + (x + y == 0 ? delta - 256 : 0));
                    // Beyond the whole blocks: ignored.
                    if (w % 8 != 0) p.samples[static_cast<size_t>(w) - 1] = 255;
                    pictures.push_back(std::move(p));
                    // A single block has nothing to differ from.
                    flags.push_back(delta < 256 || bw * bh == 1 ? 1 : 0);
                }
    for (size_t i = 0; i < pictures.size(); ++i)
        EXPECT_EQ(reference::blackout(pictures[i].image()), flags[i]) << pictures[i].describe();
    expectIdenticalOnEveryTarget(
        pictures, [](const Image& img) { return static_cast<double>(blackout(img)); },
        [](const Image& img) { return static_cast<double>(reference::blackout(img)); });
}
