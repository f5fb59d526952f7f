// The fast temporal activity against its reference composition: bit-identical
// results on many pairs of pictures, with every vector target.
#include <gtest/gtest.h>

#include <random>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {

// The previous picture for `current`: the same, slightly changed, strongly
// changed or unrelated, by the seed.
std::vector<uint8_t> previousOf(const IdentityPicture& current, uint32_t seed) {
    std::vector<uint8_t> prev = current.samples;
    std::mt19937 rng(seed);
    switch (seed % 4) {
        case 0:  // repeated frame
            break;
        case 1:  // a few samples off by one
            for (auto& s : prev)
                if (rng() % 16 == 0) s = static_cast<uint8_t>(s == 255 ? 254 : s + 1);
            break;
        case 2:  // inverted: the largest differences
            for (auto& s : prev) s = static_cast<uint8_t>(255 - s);
            break;
        default:  // unrelated
            for (auto& s : prev) s = static_cast<uint8_t>(rng());
            break;
    }
    return prev;
}

}  // namespace

TEST(TemporalActivityIdentity, MatchesReferenceOnEveryPair) {
    auto pictures = identityPictures(identitySizes(), 2);
    // Large pairs fold the 32-bit accumulators several times on every target.
    for (const auto& [w, h] : {std::pair{1024, 600}, {1021, 603}})
        for (uint32_t s = 0; s < 2; ++s)
            pictures.push_back(makeIdentityPicture(w, h, IdentityContent::Extremes, s));

    std::vector<std::vector<uint8_t>> previous;
    std::vector<uint64_t> expected;
    for (size_t i = 0; i < pictures.size(); ++i) {
        previous.push_back(previousOf(pictures[i], static_cast<uint32_t>(i)));
        const Image prev{pictures[i].w, pictures[i].h, previous[i].data()};
        expected.push_back(doubleBits(reference::temporalActivity(pictures[i].image(), prev)));
    }
    forEachSimdTarget([&](const std::string& target) {
        for (size_t i = 0; i < pictures.size(); ++i) {
            const Image prev{pictures[i].w, pictures[i].h, previous[i].data()};
            EXPECT_EQ(doubleBits(temporalActivity(pictures[i].image(), prev)), expected[i])
                << target << ": " << pictures[i].describe() << " previous #" << i % 4;
        }
    });
}
