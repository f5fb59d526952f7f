// The fast slice against its reference composition: bit-identical results on
// many pictures.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

TEST(SliceIdentity, MatchesReferenceOnEveryPicture) {
    for (auto& p : identityPictures(identitySizes(), 3)) {
        const Image img = p.image();
        EXPECT_EQ(doubleBits(slice(img)), doubleBits(reference::slice(img))) << p.describe();
    }
}
