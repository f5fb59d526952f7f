// The built-in test card: scene table, deterministic rendering, the file it
// writes, and that each scene provokes the indicator it is made for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "indicators/indicators.h"
#include "testcard/testcard.h"

using namespace lumaqc;

namespace {

using Plane = std::vector<uint8_t>;

Plane render(int index, int w, int h) {
    Plane y(static_cast<size_t>(w) * static_cast<size_t>(h));
    renderTestcardFrame(index, w, h, y.data());
    return y;
}

const TestcardScene& scene(const char* name) {
    const TestcardScene* s = findTestcardScene(name);
    if (s == nullptr) throw std::runtime_error(std::string("no scene ") + name);
    return *s;
}

bool inScene(int index, const char* name) {
    const TestcardScene& s = scene(name);
    return index >= s.first && index <= s.last;
}

// 64-bit FNV-1a over a byte sequence, continuing from hash.
uint64_t fnv1a(const uint8_t* p, size_t n, uint64_t hash = 0xcbf29ce484222325ull) {
    for (size_t i = 0; i < n; ++i) hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}

uint64_t clipHash(int w, int h) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int i = 0; i < testcardFrameCount(); ++i) {
        const Plane y = render(i, w, h);
        hash = fnv1a(y.data(), y.size(), hash);
    }
    return hash;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(TestcardScenes, TableCoversTheClipInOrder) {
    const auto& scenes = testcardScenes();
    ASSERT_FALSE(scenes.empty());
    int next = 0;
    std::set<std::string> names;
    for (const TestcardScene& s : scenes) {
        EXPECT_EQ(s.first, next) << s.name;
        EXPECT_GE(s.last, s.first + 7) << s.name << " is too short to show its effect";
        EXPECT_TRUE(names.insert(s.name).second) << "duplicate scene " << s.name;
        EXPECT_EQ(findTestcardScene(s.name), &s);
        for (int i = s.first; i <= s.last; ++i) EXPECT_EQ(testcardSceneOf(i), &s) << i;
        next = s.last + 1;
    }
    EXPECT_EQ(testcardFrameCount(), next);
    EXPECT_EQ(testcardSceneOf(-1), nullptr);
    EXPECT_EQ(testcardSceneOf(next), nullptr);
    EXPECT_EQ(findTestcardScene("no such scene"), nullptr);
    for (const char* name : {"reference", "flicker", "blocking", "blur", "noise", "letterbox",
                             "pillarbox", "combing", "lost-band", "lost-block", "black", "frozen"})
        EXPECT_NE(findTestcardScene(name), nullptr) << name;
}

TEST(TestcardScenes, TemporalScenesLieWhereTheDetectorsExpectThem) {
    // End-to-end checks compare detected intervals with these exact ranges.
    EXPECT_EQ(scene("black").first, 105);
    EXPECT_EQ(scene("black").last, 116);
    EXPECT_EQ(scene("frozen").first, 117);
    EXPECT_EQ(scene("frozen").last, 128);
    // Flicker is rated over periods of 8 frames that start with frame 1; the
    // scene must hold at least one whole period.
    const TestcardScene& f = scene("flicker");
    EXPECT_EQ(f.first % 8, 1);
    EXPECT_GE(f.last - f.first + 1, 16);
}

TEST(TestcardRender, IsDeterministic) {
    // Golden hashes of the whole clip's luma: any change to the picture
    // content shows up here and must be deliberate.
    EXPECT_EQ(clipHash(TESTCARD_DEFAULT_WIDTH, TESTCARD_DEFAULT_HEIGHT), 13324375332008793787ull);
    EXPECT_EQ(clipHash(37, 23), 7668456205269165074ull);
    for (int i : {0, 12, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120})
        EXPECT_EQ(render(i, 200, 120), render(i, 200, 120)) << i;
}

TEST(TestcardRender, OnlyFrozenAndBlackScenesRepeatFrames) {
    const int w = TESTCARD_DEFAULT_WIDTH, h = TESTCARD_DEFAULT_HEIGHT;
    Plane prev = render(0, w, h);
    for (int i = 1; i < testcardFrameCount(); ++i) {
        const Plane cur = render(i, w, h);
        const TestcardScene* s = testcardSceneOf(i);
        const bool repeatExpected = i > s->first && (inScene(i, "frozen") || inScene(i, "black"));
        EXPECT_EQ(cur == prev, repeatExpected) << "frame " << i << " (" << s->name << ")";
        prev = cur;
    }
}

TEST(TestcardRender, BlackFramesAreBlackAndNoOtherFrameIs) {
    for (auto [w, h] : {std::pair{352, 288}, {16, 16}, {37, 23}}) {
        for (int i = 0; i < testcardFrameCount(); ++i) {
            const Plane y = render(i, w, h);
            const bool allBlack = std::all_of(y.begin(), y.end(), [](uint8_t v) { return v == 0; });
            EXPECT_EQ(allBlack, inScene(i, "black")) << w << "x" << h << " frame " << i;
        }
    }
}

TEST(TestcardRender, OutOfRangeIndexIsBlack) {
    for (int i : {-1, testcardFrameCount()}) {
        Plane y(64 * 32, 7);
        renderTestcardFrame(i, 64, 32, y.data());
        EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](uint8_t v) { return v == 0; })) << i;
    }
}

TEST(TestcardWrite, FramesAreLumaThenNeutralChroma) {
    for (auto [w, h] : {std::pair{16, 16}, {17, 17}, {33, 19}, {64, 48}}) {
        const std::string path = ::testing::TempDir() + "testcard_" + std::to_string(w) + "x" +
                                 std::to_string(h) + ".yuv";
        std::string error;
        ASSERT_TRUE(writeTestcard(path.c_str(), w, h, &error)) << error;
        const std::string bytes = readAll(path);
        std::remove(path.c_str());
        const size_t frame = static_cast<size_t>(w) * static_cast<size_t>(h) * 3 / 2;
        EXPECT_EQ(testcardFrameBytes(w, h), static_cast<int64_t>(frame));
        ASSERT_EQ(bytes.size(), frame * static_cast<size_t>(testcardFrameCount())) << w << "x" << h;
        const size_t luma = static_cast<size_t>(w) * static_cast<size_t>(h);
        for (int i = 0; i < testcardFrameCount(); ++i) {
            const Plane y = render(i, w, h);
            const char* f = bytes.data() + frame * static_cast<size_t>(i);
            EXPECT_TRUE(std::equal(y.begin(), y.end(), reinterpret_cast<const uint8_t*>(f)))
                << w << "x" << h << " frame " << i;
            EXPECT_TRUE(std::all_of(f + luma, f + frame, [](char c) { return c == '\x80'; }))
                << w << "x" << h << " frame " << i;
        }
    }
}

TEST(TestcardWrite, ReportsBadSizesAndWriteFailures) {
    const std::string ok = ::testing::TempDir() + "testcard_unused.yuv";
    for (auto [w, h] : {std::pair{15, 16}, {16, 15}, {8193, 16}, {16, 8193}, {0, 0}, {-16, 16}}) {
        std::string error;
        EXPECT_FALSE(writeTestcard(ok.c_str(), w, h, &error)) << w << "x" << h;
        EXPECT_NE(error.find("size"), std::string::npos) << error;
    }
    const std::string missing = ::testing::TempDir() + "no/such/dir/clip.yuv";
    std::string error;
    EXPECT_FALSE(writeTestcard(missing.c_str(), 16, 16, &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    if (std::ifstream("/dev/full").good()) {
        error.clear();
        EXPECT_FALSE(writeTestcard("/dev/full", 16, 16, &error));
        EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
    }
    EXPECT_FALSE(writeTestcard(missing.c_str(), 16, 16, nullptr));
}

// Every indicator, frame by frame over the default clip.
class TestcardIndicators : public ::testing::Test {
  protected:
    struct Row {
        const TestcardScene* scene;
        double blockiness, spatialActivity, letterbox, pillarbox, blockLoss, blur, exposure,
            interlace, noise, slice, contrast, temporalActivity, flickering;
        uint8_t blackout, freeze25, freeze30;
    };

    static void SetUpTestSuite() {
        const int w = TESTCARD_DEFAULT_WIDTH, h = TESTCARD_DEFAULT_HEIGHT;
        Plane prev;
        TemporalState at25 = createTemporalState(w, h);
        TemporalState at30 = createTemporalState(w, h);
        for (int i = 0; i < testcardFrameCount(); ++i) {
            Plane cur = render(i, w, h);
            const Image img{w, h, cur.data()};
            Row r{};
            r.scene = testcardSceneOf(i);
            r.blockiness = blockiness(img);
            r.spatialActivity = spatialActivity(img);
            r.letterbox = letterbox(img);
            r.pillarbox = pillarbox(img);
            r.blockLoss = blockLoss(img);
            r.blur = blur(img);
            r.exposure = exposure(img);
            r.interlace = interlace(img);
            r.noise = noise(img);
            r.slice = slice(img);
            r.blackout = blackout(img);
            r.contrast = contrastRMS(img);
            r.flickering = -1.0;
            if (i > 0) {
                const Image before{w, h, prev.data()};
                r.temporalActivity = temporalActivity(img, before);
                r.freeze25 = freezing(r.temporalActivity, r.blackout, 25.0, at25);
                r.freeze30 = freezing(r.temporalActivity, r.blackout, 30.0, at30);
                r.flickering = flickering(img, before, at25);
                flickering(img, before, at30);
            }
            rows_.push_back(r);
            prev = std::move(cur);
        }
        freeTemporalState(at25);
        freeTemporalState(at30);
    }

    static void TearDownTestSuite() { rows_.clear(); }

    // Largest value of a field over the frames of a scene.
    template <typename F>
    static double maxOver(const char* name, F field) {
        double m = -1e300;
        for (const Row& r : rows_)
            if (std::string(r.scene->name) == name) m = std::max(m, field(r));
        return m;
    }
    template <typename F>
    static double minOver(const char* name, F field) {
        double m = 1e300;
        for (const Row& r : rows_)
            if (std::string(r.scene->name) == name) m = std::min(m, field(r));
        return m;
    }

    static inline std::vector<Row> rows_;
};

TEST_F(TestcardIndicators, BlackoutFlagsTheBlackSceneOnly) {
    for (size_t i = 0; i < rows_.size(); ++i)
        EXPECT_EQ(rows_[i].blackout, inScene(static_cast<int>(i), "black") ? 1 : 0) << i;
    EXPECT_EQ(maxOver("black", [](const Row& r) { return r.contrast; }), 0.0);
    EXPECT_EQ(maxOver("black", [](const Row& r) { return r.exposure; }), 0.0);
}

TEST_F(TestcardIndicators, FreezeRisesAfterATenthOfASecondOfTheFrozenScene) {
    // The first frozen frame still differs from the black one before it; the
    // repeats that follow raise the flag on the 3rd at 25 fps, on the 4th at 30.
    const TestcardScene& f = scene("frozen");
    for (size_t i = 0; i < rows_.size(); ++i) {
        const int k = static_cast<int>(i);
        EXPECT_EQ(rows_[i].freeze25, k >= f.first + 3 && k <= f.last ? 1 : 0) << i;
        EXPECT_EQ(rows_[i].freeze30, k >= f.first + 4 && k <= f.last ? 1 : 0) << i;
    }
}

TEST_F(TestcardIndicators, TemporalActivityIsZeroOnlyOnRepeatedFrames) {
    for (size_t i = 1; i < rows_.size(); ++i) {
        const int k = static_cast<int>(i);
        const bool repeat =
            k > rows_[i].scene->first && (inScene(k, "frozen") || inScene(k, "black"));
        EXPECT_EQ(rows_[i].temporalActivity == 0.0, repeat) << i;
    }
}

TEST_F(TestcardIndicators, FlickerSceneRatesFullFlicker) {
    const TestcardScene& f = scene("flicker");
    // Ratings fall on frames 8, 16, 24, ...; both periods inside the scene
    // see their flicker blocks switch on every frame.
    for (int end = f.first + 7; end <= f.last; end += 8) EXPECT_EQ(rows_[end].flickering, 1.0);
    // A steadily moving picture switches each block once per period.
    EXPECT_EQ(rows_[8].flickering, 0.125);
}

TEST_F(TestcardIndicators, EachImpairmentRaisesItsIndicator) {
    auto ref = [](auto field) {
        return std::max(maxOver("reference", field), maxOver("recovery", field));
    };
    auto field = [](double Row::*m) { return [m](const Row& r) { return r.*m; }; };

    // Blocking: edges on the 8-pixel grid and nothing inside the blocks.
    EXPECT_LT(maxOver("blocking", field(&Row::blockiness)), 0.1);
    EXPECT_GT(minOver("reference", field(&Row::blockiness)), 0.9);

    EXPECT_GT(minOver("blur", field(&Row::blur)), 4.0 * ref(field(&Row::blur)));
    EXPECT_LT(maxOver("blur", field(&Row::spatialActivity)),
              0.6 * minOver("reference", field(&Row::spatialActivity)));
    EXPECT_GT(minOver("noise", field(&Row::noise)), 3.0 * ref(field(&Row::noise)));
    EXPECT_GT(minOver("combing", field(&Row::interlace)), 10.0 * ref(field(&Row::interlace)));
    EXPECT_GT(minOver("lost-band", field(&Row::slice)), 10.0 * ref(field(&Row::slice)));

    EXPECT_GT(minOver("lost-block", field(&Row::blockLoss)), 0.0);
    EXPECT_EQ(ref(field(&Row::blockLoss)), 0.0);

    // Bars of an eighth of the height (width) on each side.
    EXPECT_EQ(minOver("letterbox", field(&Row::letterbox)), 36.0 / 144.0);
    EXPECT_EQ(minOver("pillarbox", field(&Row::pillarbox)), 43.0 / 176.0);
    for (const Row& r : rows_) {
        const std::string name = r.scene->name;
        if (name != "letterbox" && name != "black") {
            EXPECT_EQ(r.letterbox, 0.0) << name;
        }
        // Block averaging repeats each column eight times, which reads as a
        // narrow bar.
        if (name != "pillarbox" && name != "black" && name != "blocking") {
            EXPECT_EQ(r.pillarbox, 0.0) << name;
        }
    }
}
