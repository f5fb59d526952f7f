// The fast pillarbox against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(PillarboxIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, pillarbox, reference::pillarbox);
}

// Bars of identical columns at the left, each row at its own level, over
// noise; one sample off inside the bar, in the first, middle, last or another
// row, shortens it. Bar widths around the vector sizes and up to half the
// width.
TEST(PillarboxIdentity, BarsMatchReference) {
    std::vector<IdentityPicture> pictures;
    uint32_t seed = 0;
    for (const auto& [w, h] : {std::pair{4, 2}, {40, 3}, {70, 17}, {150, 64}, {300, 9}})
        for (int32_t bar : {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 80, 149})
            for (int defect = 0; defect < 5; ++defect) {
                if (bar >= w) continue;
                IdentityPicture p = makeIdentityPicture(w, h, IdentityContent::Noise, ++seed);
                // Columns 0 .. bar equal in every row: bar identical pairs.
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x <= bar; ++x)
                        p.samples[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(11 * y);
                const int32_t rows[] = {-1, 0, h / 2, h - 1, (h * 2) / 3};
                if (rows[defect] >= 0 && bar > 0)
                    p.samples[static_cast<size_t>(rows[defect]) * w + (bar * 3) / 4] ^= 0x20;
                pictures.push_back(std::move(p));
            }
    expectIdenticalOnEveryTarget(pictures, pillarbox, reference::pillarbox);
}
