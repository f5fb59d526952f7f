// The fast blockLoss against its reference composition: bit-identical results on
// many pictures.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

TEST(BlockLossIdentity, MatchesReferenceOnEveryPicture) {
    for (auto& p : identityPictures(identitySizes(), 3)) {
        const Image img = p.image();
        EXPECT_EQ(doubleBits(blockLoss(img)), doubleBits(reference::blockLoss(img)))
            << p.describe();
    }
}

// Block loss needs at least 256 x 256; these cover one to several regions,
// with partial regions and grid cells at the right and bottom.
TEST(BlockLossIdentity, LargePicturesMatchReference) {
    const std::vector<std::pair<int32_t, int32_t>> sizes = {{256, 256}, {257, 256}, {256, 271},
                                                            {300, 300}, {511, 263}, {512, 512},
                                                            {600, 300}, {300, 600}};
    for (auto& p : identityPictures(sizes, 2)) {
        const Image img = p.image();
        EXPECT_EQ(doubleBits(blockLoss(img)), doubleBits(reference::blockLoss(img)))
            << p.describe();
    }
}
