// The fast noise against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(NoiseIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, noise, reference::noise);
}

// More than a thousand blocks qualify: only the first thousand are measured.
TEST(NoiseIdentity, LargePicturesMatchReference) {
    auto pictures = identityPictures({{640, 480}, {1001, 72}}, 1);
    expectIdenticalOnEveryTarget(pictures, noise, reference::noise);
}
