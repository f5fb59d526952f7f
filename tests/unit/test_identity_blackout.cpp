// The fast blackout against its reference composition: identical flags on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

TEST(BlackoutIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(
        pictures, [](const Image& img) { return static_cast<double>(blackout(img)); },
        [](const Image& img) { return static_cast<double>(reference::blackout(img)); });
}
