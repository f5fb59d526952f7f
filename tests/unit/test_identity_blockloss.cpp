// The fast blockLoss against its reference composition: bit-identical results on
// many pictures, with every vector target.
#include <gtest/gtest.h>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(BlockLossIdentity, MatchesReferenceOnEveryPicture) {
    auto pictures = identityPictures(identitySizes(), 3);
    expectIdenticalOnEveryTarget(pictures, blockLoss, reference::blockLoss);
}

// Block loss needs at least 256 x 256; these cover one to several regions,
// with partial regions and grid cells at the right and bottom.
TEST(BlockLossIdentity, LargePicturesMatchReference) {
    const std::vector<std::pair<int32_t, int32_t>> sizes = {{256, 256}, {257, 256}, {256, 271},
                                                            {300, 300}, {511, 263}, {512, 512},
                                                            {600, 300}, {300, 600}};
    auto pictures = identityPictures(sizes, 2);
    // Strong noise inside 16x16 blocks, quiet samples along the block edges
    // and some inverted blocks: a threshold beyond 16-bit energies (the
    // exact plain path) with long strong runs on the grid lines.
    for (uint32_t seed = 0; seed < 4; ++seed) {
        IdentityPicture p = makeIdentityPicture(300 + 37 * seed, 280, IdentityContent::Noise, seed);
        for (int32_t y = 0; y < p.h; ++y)
            for (int32_t x = 0; x < p.w; ++x) {
                uint8_t& v = p.samples[static_cast<size_t>(y) * p.w + x];
                const bool edge = x % 16 == 0 || x % 16 == 15 || y % 16 == 0 || y % 16 == 15;
                v = static_cast<uint8_t>(v * (edge ? 12 : 170 + 10 * seed) / 255);
                const uint32_t block =
                    static_cast<uint32_t>(x / 16 * 7919 + y / 16 * 104729) * 2654435761u;
                if ((block >> 29) == seed % 8) v = static_cast<uint8_t>(255 - v);
            }
        pictures.push_back(std::move(p));
    }
    expectIdenticalOnEveryTarget(pictures, blockLoss, reference::blockLoss);
}
