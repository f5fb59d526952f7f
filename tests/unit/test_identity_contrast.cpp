// The fast RMS contrast against its reference composition: bit-identical
// results on many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(ContrastIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, contrastRMS, reference::contrastRMS);
}

// Enough samples at the largest squares to fold the 32-bit accumulators
// several times on every target.
TEST(ContrastIdentity, LargeBrightPicturesMatchReference) {
    std::vector<IdentityPicture> pictures;
    for (const auto& [w, h] : {std::pair{1024, 600}, {1023, 601}}) {
        IdentityPicture white = makeIdentityPicture(w, h, IdentityContent::Uniform, 0);
        for (auto& s : white.samples) s = 255;
        pictures.push_back(std::move(white));
        pictures.push_back(makeIdentityPicture(w, h, IdentityContent::Extremes, 2));
        pictures.push_back(makeIdentityPicture(w, h, IdentityContent::Noise, 3));
    }
    expectIdenticalOnEveryTarget(pictures, contrastRMS, reference::contrastRMS);
}
