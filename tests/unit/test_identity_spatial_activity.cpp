// The fast spatial activity against its reference composition: bit-identical
// results on many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(SpatialActivityIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, spatialActivity, reference::spatialActivity);
}

// Rows long enough to fill the 32-bit accumulators of every target before
// they are folded, with the strongest responses: 0 0 255 255 columns give
// |Gx| = 1020, and random extremes mix both directions.
TEST(SpatialActivityIdentity, LongRowsOfStrongEdgesMatchReference) {
    std::vector<IdentityPicture> pictures;
    for (const auto& [w, h] : {std::pair{8300, 3}, {8300, 5}, {2100, 9}, {3, 900}}) {
        IdentityPicture stripes = makeIdentityPicture(w, h, IdentityContent::Uniform, 0);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                stripes.samples[static_cast<size_t>(y) * w + x] = (x / 2 + y / 2) % 2 ? 255 : 0;
        pictures.push_back(std::move(stripes));
        pictures.push_back(makeIdentityPicture(w, h, IdentityContent::Extremes, 1));
    }
    expectIdenticalOnEveryTarget(pictures, spatialActivity, reference::spatialActivity);
}
