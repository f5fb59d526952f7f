// The fast blur against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(BlurIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, blur, reference::blur);
}

// Each thread remembers the edge step of its last frame and examines the
// steps above it while it sums the energy; a frame with a smaller step has
// the remaining band examined afterwards. Every order of frames gives the
// reference value.
TEST(BlurIdentity, MatchesReferenceWhateverFrameCameBefore) {
    std::vector<IdentityPicture> pictures;
    for (IdentityContent c : kIdentityContents) {
        pictures.push_back(makeIdentityPicture(130, 66, c, 7));
        pictures.push_back(makeIdentityPicture(97, 140, c, 8));
    }
    std::vector<uint64_t> expected;
    for (auto& p : pictures) expected.push_back(doubleBits(reference::blur(p.image())));
    forEachSimdTarget([&](const std::string& target) {
        for (size_t i = 0; i < pictures.size(); ++i) {
            for (size_t before = 0; before < pictures.size(); ++before) {
                blur(pictures[before].image());
                EXPECT_EQ(doubleBits(blur(pictures[i].image())), expected[i])
                    << target << ": " << pictures[i].describe() << " after "
                    << pictures[before].describe();
            }
            // The same frame twice: the remembered step is its own.
            EXPECT_EQ(doubleBits(blur(pictures[i].image())), expected[i])
                << target << ": " << pictures[i].describe() << " twice";
        }
    });
}
