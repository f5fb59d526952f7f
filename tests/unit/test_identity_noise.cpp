// The fast noise against its reference composition: bit-identical results on
// many pictures.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

TEST(NoiseIdentity, MatchesReferenceOnEveryPicture) {
    for (auto& p : identityPictures(identitySizes(), 3)) {
        const Image img = p.image();
        EXPECT_EQ(doubleBits(noise(img)), doubleBits(reference::noise(img))) << p.describe();
    }
}
