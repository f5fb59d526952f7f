// QC profiles (reading, refusals, the TOML round trip) and the event
// detector on synthetic frame sequences.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "qc/detector.h"
#include "qc/profile.h"

using namespace lumaqc;
using namespace lumaqc::qc;

namespace {

Profile parsed(const std::string& text) {
    std::string error;
    std::optional<Profile> p = parseProfile(text, "test.toml", error);
    EXPECT_TRUE(p.has_value()) << error;
    return p ? *p : Profile{};
}

// A clean textured frame: nothing any rule of the default profile flags.
FrameValues cleanFrame() {
    FrameValues v{};
    v[kBlockiness] = 0.8;
    v[kBlur] = 3.0;
    v[kTemporalActivity] = 10.0;
    v[kNoise] = 2.0;
    v[kInterlace] = 0.01;
    v[kSlice] = 2.0;
    v[kBlockLoss] = 1.0;
    v[kFlickering] = -1.0;
    return v;
}

struct Detected {
    std::vector<Event> events;
    std::vector<std::string> changes;  // "open black_warning 5", "escalate ...", "close ..."
    Verdict verdict;
};

// Feeds `count` frames at `fps` (or at `times` when given), `edit` changing
// each frame's values, with the decode errors of `damage(index)`.
Detected detect(const Profile& profile, int count,
                const std::function<void(int, FrameValues&)>& edit,
                const std::vector<double>& times = {}, const std::function<int(int)>& damage = {}) {
    Detected run;
    const char* names[] = {"open", "escalate", "close"};
    EventDetector detector(profile, 25.0, [&run, &names](Change c, const Event& e) {
        run.changes.push_back(std::string(names[static_cast<int>(c)]) + " " + e.rule + " " +
                              std::to_string(e.lastFrame));
    });
    for (int i = 0; i < count; ++i) {
        FrameValues v = cleanFrame();
        if (i == 0) v[kTemporalActivity] = 0.0;
        edit(i, v);
        FrameInput f;
        f.index = i;
        f.seconds = times.empty() ? i / 25.0 : times[static_cast<size_t>(i)];
        f.values = &v;
        f.first = i == 0;
        f.decodeErrors = damage ? damage(i) : 0;
        f.decodeMessage = "the picture is damaged";
        detector.feed(f);
    }
    detector.finish();
    run.events = detector.events();
    run.verdict = detector.verdict(false);
    return run;
}

TEST(QcProfile, BadProfilesAreRefusedWithFileLineAndKey) {
    const std::string head = "name = \"p\"\n[[rule]]\nid = \"r\"\n";
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {head + "event = \"black\"\nseverity = \"error\"\ntreshold = 2\n",
         "line 6: unknown key 'treshold' in a rule"},
        {head + "event = \"black\"\nseverity = \"error\"\nmin_duration = \"2 s\"\n",
         "line 6: key 'min_duration' must be a finite number"},
        {head + "indicator = \"blurr\"\nthreshold = 7\ndirection = \"above\"\nseverity = "
                "\"warning\"\n",
         "line 4: unknown indicator 'blurr' (blockiness, spatial_activity, letterbox, pillarbox, "
         "block_loss, blur, temporal_activity, blackout, freezing, exposure, contrast, interlace, "
         "noise, slice, flickering)"},
        {head + "event = \"black\"\nseverity = \"fatal\"\n",
         "line 5: severity must be \"warning\" or \"error\", not \"fatal\""},
        {head + "event = \"black\"\nseverity = 2\n", "line 5: key 'severity' must be a string"},
        {head + "event = \"black\"\n", "line 2: a rule needs the key 'severity'"},
        {head + "indicator = \"blur\"\nseverity = \"error\"\ndirection = \"up\"\nthreshold = 1\n",
         "line 6: direction must be \"above\" or \"below\", not \"up\""},
        {head + "event = \"black\"\nseverity = \"error\"\nthreshold = 1\n",
         "line 6: key 'threshold' does not apply to black rules"},
        {head + "event = \"glitch\"\nseverity = \"error\"\n",
         "line 4: unknown event 'glitch' without an indicator (black, freeze, decode_error, "
         "signal_loss)"},
        {head + "event = \"black\"\nseverity = \"error\"\nnot_during = [\"blur\"]\n",
         "line 6: key 'not_during' names 'blur', which no rule of the profile makes"},
        {head +
             "event = \"black\"\nseverity = \"error\"\n[[rule]]\nid = \"r\"\nevent = \"freeze\"\n"
             "severity = \"error\"\n",
         "line 6: rule id 'r' is used twice"},
        {"nmae = \"p\"\n", "line 1: unknown key 'nmae' (name, description, [[rule]])"},
        {"name = \"p\"\n", "line 1: no [[rule]]"},
        {"name = \"p\n",
         "line 1: Error while parsing string: unescaped control characters other than TAB (U+0009) "
         "are explicitly prohibited"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseProfile(c.text, "test.toml", error).has_value()) << c.text;
        EXPECT_EQ(error, "profile test.toml, " + c.error) << c.text;
    }
}

TEST(QcProfile, PrintedProfilesReadBackTheSame) {
    const Profile& builtIn = defaultProfile();
    ASSERT_EQ(builtIn.name, "default");
    ASSERT_GE(builtIn.rules.size(), 11u);
    const Profile custom = parsed(
        "name = \"strict \\\"delivery\\\"\"\n[[rule]]\nid = \"soft\"\nindicator = \"blur\"\n"
        "threshold = 6.25\ndirection = \"above\"\nstatistic = \"p95\"\nseverity = \"error\"\n"
        "ebu_item = { id = \"X1\", name = \"Blurriness\" }\n[[rule]]\nid = \"held\"\n"
        "event = \"freeze\"\nthreshold = 0\nmin_duration = 0.1\nseverity = \"warning\"\n"
        "not_during = [\"blurring\"]\n[[rule]]\nid = \"b\"\nindicator = \"block_loss\"\n"
        "event = \"blurring\"\nthreshold = 1e-3\ndirection = \"below\"\nseverity = \"warning\"\n");
    for (const Profile* p : {&builtIn, &custom}) {
        EXPECT_EQ(parsed(profileToToml(*p)), *p) << profileToToml(*p);
    }
    EXPECT_EQ(custom.rules[0].ebu.id, "X1");
    EXPECT_EQ(custom.rules[2].type, "blurring");
    EXPECT_EQ(parsed("name = \"n\"\n[[rule]]\nid = \"i\"\nindicator = \"interlace\"\n"
                     "threshold = 1\ndirection = \"above\"\nseverity = \"error\"\n")
                  .rules[0]
                  .type,
              "combing");
}

TEST(QcDetector, RunsBecomeEventsWithTheirSeverityAndExtent) {
    const struct {
        const char* name;
        int frames;
        std::function<void(int, FrameValues&)> edit;
        std::vector<std::string> changes;
        std::vector<std::string> events;  // "type severity rule first-last start-end"
    } cases[] = {
        {"clean", 100, [](int, FrameValues&) {}, {}, {}},
        {"black of 2.4 s: a warning that becomes an error",
         100,
         [](int i, FrameValues& v) {
             if (i >= 20 && i < 80) v = FrameValues{0, 0, 1, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 1, -1};
         },
         {"open black_warning 32", "escalate black_error 69", "close black_error 79"},
         {"black error black_error 20-79 0.80-3.20 -"}},
        {"black of 0.6 s, and 0.4 s",
         100,
         [](int i, FrameValues& v) { v[kBlackout] = (i >= 10 && i < 25) || (i >= 50 && i < 60); },
         {"open black_warning 22", "close black_warning 24"},
         {"black warning black_warning 10-24 0.40-1.00 -"}},
        // A held picture with near repeats and a refreshed key frame (2.5):
        // the run starts at frame 29, whose picture is held, and ends at the
        // end of the file.
        {"held picture to the end",
         100,
         [](int i, FrameValues& v) {
             if (i >= 30) v[kTemporalActivity] = i == 60 ? 2.5 : 0.05 * (i % 3);
         },
         {"open freeze_warning 41", "escalate freeze_error 78", "close freeze_error 99"},
         {"freeze error freeze_error 29-99 1.16-4.00 0"}},
        // Two spikes in a row, and a static camera whose activity never falls to 1.
        {"near repeats broken by motion",
         100,
         [](int i, FrameValues& v) {
             v[kTemporalActivity] = i >= 70 ? 1.5 : (i == 40 || i == 41) ? 3.0 : 0.3;
         },
         {"open freeze_warning 12", "close freeze_warning 39", "open freeze_warning 53",
          "close freeze_warning 69"},
         {"freeze warning freeze_warning 0-39 0.00-1.60 0.3",
          "freeze warning freeze_warning 41-69 1.64-2.80 0.3"}},
        // Blur for 1.2 s, black in its middle: the black frames end the run,
        // and neither half lasts a second. Bars and flat blur during black
        // make no event (a letterbox rule is not in the profile, blur is).
        {"blur broken by black",
         100,
         [](int i, FrameValues& v) {
             if (i >= 10 && i < 40) v[kBlur] = 9.0;
             if (i >= 24 && i < 26) v = FrameValues{1, 0, 1, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 1, -1};
         },
         {},
         {}},
        // Block loss while blur: cross-talk, not counted; alone it makes an event.
        {"block loss not during blur",
         100,
         [](int i, FrameValues& v) {
             if (i >= 10 && i < 40) v[kBlur] = 9.0;
             if (i >= 10 && i < 40) v[kBlockLoss] = 30.0;
             if (i >= 60 && i < 70) v[kBlockLoss] = i == 65 ? -1.0 : 13.0 + i;
         },
         {"open blur 34", "close blur 39", "open block_loss 64", "close block_loss 69"},
         {"blur warning blur 10-39 0.40-1.60 9",
          "block_loss warning block_loss 60-69 2.40-2.80 82"}},
        // The worst 5 % of blockiness: rated over the file, black frames left out.
        {"blocking by its 5th percentile",
         100,
         [](int i, FrameValues& v) {
             v[kBlockiness] = i < 6 ? 0.1 + 0.01 * i : 0.9;
             if (i >= 90) v = FrameValues{0.0, 0, 1, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 1, -1};
         },
         {"open blocking 99", "close blocking 99"},
         {"blocking warning blocking 0-99 0.00-4.00 0.1"}},
    };
    for (const auto& c : cases) {
        const Detected run = detect(defaultProfile(), c.frames, c.edit);
        EXPECT_EQ(run.changes, c.changes) << c.name;
        std::vector<std::string> events;
        for (const Event& e : run.events) {
            char worst[32] = "-";
            if (e.worstValue) std::snprintf(worst, sizeof worst, "%g", *e.worstValue);
            char text[160];
            std::snprintf(text, sizeof text, "%s %s %s %lld-%lld %.2f-%.2f %s", e.type.c_str(),
                          severityName(e.severity), e.rule.c_str(),
                          static_cast<long long>(e.firstFrame), static_cast<long long>(e.lastFrame),
                          e.startSeconds, e.endSeconds, worst);
            events.push_back(text);
            EXPECT_FALSE(e.open);
            EXPECT_EQ(e.message.find('\n'), std::string::npos);
        }
        EXPECT_EQ(events, c.events) << c.name;
    }
}

TEST(QcDetector, TimesDamageAndVerdict) {
    // Variable frame rate: 10 frames per second, then 50; black from 1.0 s to 2.0 s.
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) times.push_back(i * 0.1);
    for (int i = 0; i < 100; ++i) times.push_back(1.0 + i * 0.02);
    Detected run = detect(
        defaultProfile(), 110, [](int i, FrameValues& v) { v[kBlackout] = i >= 10 && i < 60; },
        times, [](int i) { return i == 70 || i == 71 ? 2
                                  : i == 90          ? 1
                                                     : 0; });
    ASSERT_EQ(run.events.size(), 3u);
    EXPECT_EQ(run.events[0].type, "black");
    EXPECT_DOUBLE_EQ(run.events[0].startSeconds, 1.0);
    EXPECT_DOUBLE_EQ(run.events[0].endSeconds, 2.0);
    EXPECT_EQ(run.events[0].severity, Severity::Warning);
    EXPECT_EQ(run.events[1].type, "decode_error");
    EXPECT_EQ(run.events[1].firstFrame, 70);
    EXPECT_EQ(run.events[1].lastFrame, 71);
    EXPECT_EQ(run.events[1].decodeErrors, 4);
    EXPECT_EQ(run.events[1].message, "4 decoding errors: the picture is damaged");
    EXPECT_EQ(run.events[2].decodeErrors, 1);
    EXPECT_FALSE(run.verdict.pass);
    EXPECT_EQ(run.verdict.errors, 2);
    EXPECT_EQ(run.verdict.warnings, 1);

    // Warnings alone pass, unless they count as failures.
    const Profile profile = parsed(
        "name = \"p\"\n[[rule]]\nid = \"bars\"\nindicator = \"letterbox\"\nthreshold = 0.1\n"
        "direction = \"above\"\nseverity = \"warning\"\n");
    EventDetector detector(profile, 25.0);
    FrameValues v = cleanFrame();
    v[kLetterbox] = 0.2;
    detector.feed(FrameInput{0, 0.0, &v, true, 0, {}});
    detector.finish();
    EXPECT_TRUE(detector.verdict(false).pass);
    EXPECT_FALSE(detector.verdict(true).pass);
    EXPECT_DOUBLE_EQ(detector.events().at(0).endSeconds, 0.04);
}

}  // namespace
