// The fast interlace against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include <random>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(InterlaceIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, interlace, reference::interlace);
}

// Combed pictures: the two fields of a textured picture pulled apart by a few
// grey levels, with some columns flattened (equal neighbours break the
// zigzag), so that some groups are combed and others not.
TEST(InterlaceIdentity, CombedPicturesMatchReference) {
    std::vector<IdentityPicture> pictures;
    uint32_t seed = 0;
    for (const auto& [w, h] : identitySizes())
        for (int apart : {1, 3, 20}) {
            IdentityPicture p = makeIdentityPicture(w, h, IdentityContent::NoisyGradient, ++seed);
            std::mt19937 rng(seed);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    uint8_t& s = p.samples[static_cast<size_t>(y) * w + x];
                    const int v = s + (y % 2 ? apart : -apart);
                    s = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
                    if (y > 0 && rng() % 40 == 0) s = p.samples[static_cast<size_t>(y - 1) * w + x];
                }
            pictures.push_back(std::move(p));
        }
    expectIdenticalOnEveryTarget(pictures, interlace, reference::interlace);
}
