// The fast slice against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(SliceIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, slice, reference::slice);
}

// Strips without any match give 0 / 0; strips that repeat only downwards give
// an infinite ratio. Pictures made of such strips, and mixed with noise.
TEST(SliceIdentity, StripsWithoutMatchesOrSidewaysRepeats) {
    std::vector<IdentityPicture> pictures;
    for (int32_t w : {17, 64, 100, 333}) {
        for (int32_t h : {48, 63, 64, 200}) {
            // No sample equals the one 16 rows below or 16 columns right.
            IdentityPicture none = makeIdentityPicture(w, h, IdentityContent::Uniform, 0);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    none.samples[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(x + 17 * y);
            // Rows repeat every 16 rows but never sideways: only downwards.
            IdentityPicture down = none;
            for (int32_t y = 16; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    down.samples[static_cast<size_t>(y) * w + x] =
                        down.samples[static_cast<size_t>(y - 16) * w + x];
            // Noise in alternate strips: finite ratios among the others.
            const IdentityPicture noise = makeIdentityPicture(w, h, IdentityContent::Noise, 1);
            IdentityPicture mixed = none;
            for (int32_t y = 0; y < h; ++y)
                if ((y / 16) % 2 == 0)
                    for (int32_t x = 0; x < w; ++x)
                        mixed.samples[static_cast<size_t>(y) * w + x] =
                            noise.samples[static_cast<size_t>(y) * w + x];
            pictures.push_back(std::move(none));
            pictures.push_back(std::move(down));
            pictures.push_back(std::move(mixed));
        }
    }
    expectIdenticalOnEveryTarget(pictures, slice, reference::slice);
}
