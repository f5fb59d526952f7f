// The fast letterbox against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(LetterboxIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, letterbox, reference::letterbox);
}

// Flat bars of various heights at the top and bottom, each row at its own
// level, over noise; one sample off in the innermost bar row, at the first,
// second, middle or last column, shortens the bars. Widths around the vector
// sizes.
TEST(LetterboxIdentity, BarsMatchReference) {
    std::vector<IdentityPicture> pictures;
    uint32_t seed = 0;
    for (int32_t w : {2, 3, 15, 16, 17, 31, 32, 33, 63, 64, 65, 129, 720})
        for (const auto& [top, bottom] : {std::pair{0, 3}, {3, 3}, {5, 2}, {9, 9}})
            for (int defect = 0; defect < 5; ++defect) {
                const int32_t h = 20;
                IdentityPicture p = makeIdentityPicture(w, h, IdentityContent::Noise, ++seed);
                for (int32_t y = 0; y < h; ++y) {
                    if (y >= top && y < h - bottom) continue;
                    for (int32_t x = 0; x < w; ++x)
                        p.samples[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(7 * y);
                }
                const int32_t row = top > 0 ? top - 1 : h - bottom;
                const int32_t columns[] = {-1, 0, 1, w / 2, w - 1};
                if (columns[defect] >= 0)
                    p.samples[static_cast<size_t>(row) * w + columns[defect]] ^= 0x40;
                pictures.push_back(std::move(p));
            }
    expectIdenticalOnEveryTarget(pictures, letterbox, reference::letterbox);
}
