// Hand-computed cases of the toolkit, a small one per family: pictures whose
// every output sample was worked out on paper, with the quirks callers rely
// on (what is added to, what is left alone, where 32 bits wrap).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "picture.h"
#include "toolkit/toolkit.h"

using namespace lumaqc;

namespace {

// The samples as text, so that NaN equals NaN.
template <typename T>
std::vector<std::string> text(const std::vector<T>& samples) {
    std::vector<std::string> out;
    for (const T v : samples)
        out.push_back(std::isnan(double(v)) ? "nan" : std::to_string(double(v)));
    return out;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Picture ramp(16, 8, [](int x, int y) { return x + 16 * y; });  // ramp.at(x, y) = x + 16 y

}  // namespace

TEST(Toolkit, HandComputed) {
    const double inf = INFINITY;
    const struct {
        const char* family;
        std::function<std::vector<std::string>()> run;
        std::vector<double> expected;
    } cases[] = {
        {"activity",
         [] {
             return text<double>(
                 {spatialAct(Picture(3, 3, {0, 0, 255, 0, 0, 255, 0, 0, 255}).image),
                  temporalAct(Picture(2, 1, {10, 20}).image, Picture(2, 1, {13, 16}).image)});
         },
         {1020, 5}},  // Gx = 255 + 2 * 255 + 255; sqrt(3^2 + 4^2)
        {"blocks: sums added to the destination",
         [] {
             Picture32 sums(2, 2, 1);
             blockSums(ramp.image, sums.image, 3, 2);
             return text(sums.samples);
         },
         {1 + 54, 1 + 72, 1 + 246, 1 + 264}},
        {"blocks: division over the numerator",
         [] {
             PictureD quotient(1, 5, 99.0);
             divideDouble(PictureD(1, 4, {1, 0, -1, 6}).image, PictureD(1, 5, {0, 0, 0, 4}).image,
                          quotient.image);
             return text(quotient.samples);
         },
         {inf, NAN, -inf, 1.5, 99}},
        {"filter: K[0][0] up left, K[1][2] right",
         [] {
             PictureD out(16, 8, -1.0);
             filter(ramp.image, out.image, PictureD(3, 3, {1, 0, 0, 0, 0, 0.5}).image, 1, 8, 8);
             return text<double>({out.at(1, 1), out.at(6, 6), out.at(0, 0), out.at(9, 1)});
         },
         {0 + 0.5 * 18, 85 + 0.5 * 103, -1, -1}},  // 6x6 interiors of the n blocks only
        {"flicker: levels, states, wrapping counters",
         [] {
             Picture prev(7, 5, 100), cur = prev, counters(3, 2, {0, 0, 0, 0, 255}),
                                      states(3, 2, {0, 1, 0, 1, 1, 1});
             cur.at(0, 0) = 102, cur.at(2, 0) = 101, cur.at(5, 3) = 0,
                       cur.at(6, 0) = 0;  // column 6 unread
             PictureD levels(3, 2);
             calculateFlickering(cur.image, prev.image, counters.image, states.image, levels.image,
                                 2, 0.5);
             std::vector<double> all = levels.samples;
             all.insert(all.end(), states.samples.begin(), states.samples.end());
             all.insert(all.end(), counters.samples.begin(), counters.samples.end());
             return text(all);
         },
         {0.5, 0.25, 0, 0, 0, 25, 1, 1, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0}},
        {"gradient: backward differences",
         [] {
             Picture32 gx(3, 2, 9), gy(3, 2, 9);
             gradient(Picture(3, 2, {0, 40, 80, 100, 140, 24}).image, gx.image, gy.image);
             return text(gx.samples) + text(gy.samples);
         },
         {0, 0, 0, 0, 40, -116, 0, 0, 0, 0, 100, -56}},
        {"roberts: pairs and 32-bit products",
         [] {
             Picture32 rx(2, 2), ry(2, 2), d(2, 1);
             roberts(Picture(2, 2, {10, 40, 90, 3}).image, rx.image, ry.image);
             multiply(Picture32(2, 1, {-255, 65536}).image, Picture32(2, 1, {255, 65537}).image,
                      d.image);
             return text<double>({double(rx.samples[3]), double(ry.samples[3])}) + text(d.samples);
         },
         {7, -50, -65025, 65536}},
        {"roberts: runs of 12 cut by the blocks",
         [] {
             Picture32 row(512, 1, [](int x, int) {
                 return (x >= 3 && x <= 14) || (x >= 250 && x <= 261) ? 100 : 50;
             });
             Picture32 counts(2, 1, 1);
             countSeqsH(row.image, counts.image, 256, 1, 50.0, 12);
             return text(counts.samples);
         },
         {2, 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.run(), text(c.expected)) << c.family;
    // Rejected filter calls print one line and write nothing.
    PictureD dst(8, 8, 7.0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(filter(ramp.image, dst.image, PictureD(3, 3).image, 1, 8, 8), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Source and destination images do not match with their size!\n");
    EXPECT_EQ(dst.samples, std::vector<double>(64, 7.0));
}
