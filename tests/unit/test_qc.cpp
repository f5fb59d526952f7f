// QC profiles (reading, refusals, the TOML round trip) and the event
// detector on synthetic frame sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "qc/conditions.h"
#include "qc/detector.h"
#include "qc/profile.h"
#include "qc/timecode.h"

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
    v[kSpatialActivity] = 40.0;
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

// What a detection run is fed besides the frames' values: their times
// (default: 25 frames/s), decode errors, measured pictures, and calls on the
// detector before the first frame and before it finishes.
struct Feed {
    std::vector<double> times = {};
    std::function<int(int)> damage = {};
    std::function<const PictureMeasures*(int)> measures = {};
    std::function<void(EventDetector&)> before = {}, after = {};
    bool interlaced = false;  // the stream declares interlaced pictures
    bool fullRange = false;   // its pictures are full range
};

// Feeds `count` frames, `edit` changing each frame's values.
Detected detect(const Profile& profile, int count,
                const std::function<void(int, FrameValues&)>& edit, const Feed& feed = {}) {
    Detected run;
    const char* names[] = {"open", "escalate", "close"};
    EventDetector detector(profile, 25.0, [&run, &names](Change c, const Event& e) {
        run.changes.push_back(std::string(names[static_cast<int>(c)]) + " " + e.rule + " " +
                              std::to_string(e.lastFrame));
    });
    if (feed.before) feed.before(detector);
    for (int i = 0; i < count; ++i) {
        FrameValues v = cleanFrame();
        if (i == 0) v[kTemporalActivity] = 0.0;
        edit(i, v);
        FrameInput f;
        f.index = i;
        f.seconds = feed.times.empty() ? i / 25.0 : feed.times[static_cast<size_t>(i)];
        f.values = &v;
        f.first = i == 0;
        f.decodeErrors = feed.damage ? feed.damage(i) : 0;
        f.decodeMessage = "the picture is damaged";
        f.measures = feed.measures ? feed.measures(i) : nullptr;
        f.interlaced = feed.interlaced;
        f.fullRange = feed.fullRange;
        detector.feed(f);
    }
    if (feed.after) feed.after(detector);
    detector.finish();
    run.events = detector.events();
    run.verdict = detector.verdict(false);
    return run;
}

TEST(QcProfile, BadProfilesAreRefusedWithFileLineAndKey) {
    const std::string head = "name = \"p\"\n[[rule]]\nid = \"r\"\n";
    const std::string black = head + "event = \"black\"\nseverity = \"error\"\n";
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {black + "treshold = 2\n", "line 6: unknown key 'treshold' in a rule"},
        {black + "min_duration = \"2 s\"\n", "line 6: key 'min_duration' must be a finite number"},
        {head + "indicator = \"blurr\"\nthreshold = 7\ndirection = \"above\"\nseverity = "
                "\"warning\"\n",
         "line 4: unknown indicator 'blurr' (blockiness, spatial_activity, letterbox, pillarbox, "
         "block_loss, blur, temporal_activity, blackout, freezing, exposure, contrast, interlace, "
         "noise, slice, flickering)"},
        {head + "event = \"black\"\nseverity = \"fatal\"\n",
         "line 5: severity must be \"info\", \"warning\" or \"error\", not \"fatal\""},
        {head + "event = \"black\"\nseverity = 2\n", "line 5: key 'severity' must be a string"},
        {head + "event = \"black\"\n", "line 2: a rule needs the key 'severity'"},
        {head + "indicator = \"blur\"\nseverity = \"error\"\ndirection = \"up\"\nthreshold = 1\n",
         "line 6: direction must be \"above\" or \"below\", not \"up\""},
        {black + "threshold = 1\n", "line 6: key 'threshold' does not apply to black rules"},
        {head + "event = \"glitch\"\nseverity = \"error\"\n",
         "line 4: unknown event 'glitch' without an indicator (black, freeze, decode_error, "
         "signal_loss, frames_lost, truncated, bars, luma_levels, blocking, scan_type)"},
        {black + "min_share = 120\n",
         "line 6: key 'min_share' is a percent of the picture (above 0, up to 100)"},
        {black + "low = 4\n", "line 6: key 'low' does not apply to black rules"},
        {head + "event = \"luma_levels\"\nseverity = \"error\"\nhigh = 300\n",
         "line 6: key 'high' must be a luma level from 0 to 255, or a percent of the video range "
         "(0 "
         "% is 16, 100 % is 235)"},
        {head + "event = \"luma_levels\"\nseverity = \"error\"\nthreshold = \"2 pc\"\n",
         "line 6: key 'threshold' must be a finite number or a percent such as \"2 %\""},
        {head + "event = \"freeze\"\nseverity = \"error\"\nthreshold = \"1 %\"\n",
         "line 6: key 'threshold' must be a number: a freeze threshold is not a share of the "
         "picture"},
        {head + "indicator = \"blur\"\nthreshold = \"7 %\"\ndirection = \"above\"\n"
                "severity = \"warning\"\n",
         "line 5: key 'threshold' must be a number: blur is not a share of the picture"},
        {head + "indicator = \"letterbox\"\nthreshold = \"150 %\"\ndirection = \"above\"\n"
                "severity = \"warning\"\n",
         "line 5: a letterbox threshold is a percent of the picture (0 to 100)"},
        {head + "indicator = \"blur\"\nstatistic = \"mean\"\nthreshold = 7\n"
                "direction = \"above\"\nseverity = \"warning\"\nmax_count = 2\n",
         "line 9: a statistic rule rates the whole file: no max_count"},
        {head + "indicator = \"blur\"\nstatistic = \"p5\"\nthreshold = 7\n"
                "direction = \"below\"\nseverity = \"warning\"\ngrid_ratio = 4\n",
         "line 9: key 'grid_ratio' applies to blockiness statistics watched below"},
        {head + "indicator = \"blockiness\"\nstatistic = \"p5\"\nthreshold = 0.4\n"
                "direction = \"below\"\nseverity = \"warning\"\ngrid_share = 120\n",
         "line 9: key 'grid_share' is a percent of the grid (0 to 100)"},
        {head + "event = \"truncated\"\nseverity = \"error\"\nmax_count = 1\n",
         "line 6: key 'max_count' counts runs of frames: it does not apply to truncated rules"},
        {head + "event = \"bars\"\nseverity = \"info\"\nmax_level = 3\n",
         "line 6: key 'max_level' applies to black and luma_levels rules"},
        {head + "event = \"signal_loss\"\nseverity = \"error\"\nmin_duration = 1\n",
         "line 6: key 'min_duration' does not apply to signal_loss rules (the stall timeout, "
         "--stall-timeout, decides)"},
        {head + "event = \"luma_levels\"\nseverity = \"error\"\nthreshold = 120\n",
         "line 6: a luma_levels threshold is a percent of the picture (0 to 100)"},
        {head + "event = \"freeze\"\nseverity = \"error\"\ndirection = \"above\"\n",
         "line 6: a freeze rule's threshold is a lower limit"},
        {black + "min_duration = 1\nlonger_than = 1\n",
         "line 7: a rule takes min_duration or longer_than, not both"},
        {black + "from = \"5 s\"\n",
         "line 6: key 'from' must be seconds (0 or more) or a timecode \"HH:MM:SS:FF\""},
        {black + "from = 10\nto = \"00:00:09:24\"\n", "line 7: key 'to' must be after 'from'"},
        {"name = \"p\"\nignore_head = -1\n",
         "line 2: key 'ignore_head' must be seconds (0 or more) or a timecode \"HH:MM:SS:FF\""},
        {black + "not_during = [\"blur\"]\n",
         "line 6: key 'not_during' names 'blur', which no rule of the profile makes"},
        {head + "event = \"freeze\"\nseverity = \"error\"\nnot_during = [\"scan_type\"]\n"
                "[[rule]]\nid = \"s\"\nevent = \"scan_type\"\nseverity = \"error\"\n",
         "line 6: key 'not_during' names 'scan_type', which the profile rates over the whole "
         "input only: it keeps no frame out"},
        {black + "not_during = [\"black\"]\n",
         "line 6: key 'not_during' names the rule's own event type 'black': the rule would never "
         "hold"},
        // Thresholds the indicator never passes: a share written as a
        // percent without its sign, a value below the indicator's floor.
        {head + "indicator = \"letterbox\"\nthreshold = 25\ndirection = \"above\"\n"
                "severity = \"warning\"\n",
         "line 5: key 'threshold': letterbox never reads above 25 (it reads 0 to 1; a percent is "
         "written \"25 %\")"},
        {head + "indicator = \"exposure\"\nstatistic = \"mean\"\nthreshold = 255\n"
                "direction = \"above\"\nseverity = \"warning\"\n",
         "line 6: key 'threshold': exposure never reads above 255 (it reads 0 to 255)"},
        {head + "indicator = \"blur\"\nthreshold = 0\ndirection = \"below\"\n"
                "severity = \"warning\"\n",
         "line 5: key 'threshold': blur never reads below 0 (it reads 0 or more)"},
        {head + "event = \"freeze\"\nseverity = \"error\"\nthreshold = -1\n",
         "line 6: a freeze threshold is a temporal activity, 0 or more (0 keeps exact repeats "
         "only)"},
        {head + "event = \"luma_levels\"\nseverity = \"error\"\nthreshold = \"100 %\"\n",
         "line 6: a luma_levels threshold of 100 % is never passed (more than that share of the "
         "picture)"},
        {head + "event = \"luma_levels\"\nseverity = \"error\"\nlow = 0\nhigh = 255\n",
         "line 6: keys 'low' = 0 and 'high' = 255 leave no luma level outside them"},
        {head + "event = \"blocking\"\nseverity = \"error\"\nthreshold = 60\n",
         "line 6: a blocking threshold of 51 or more is never passed (H.264's largest quantiser)"},
        {head + "indicator = \"blackout\"\nthreshold = 0.5\ndirection = \"above\"\n"
                "severity = \"error\"\n",
         "line 4: indicator 'blackout' reads 1 only on black pictures, which indicator rules "
         "leave out: watch them with event = \"black\""},
        {head +
             "event = \"black\"\nseverity = \"error\"\n[[rule]]\nid = \"r\"\nevent = \"freeze\"\n"
             "severity = \"error\"\n",
         "line 6: rule id 'r' is used twice"},
        {"nmae = \"p\"\n",
         "line 1: unknown key 'nmae' (name, description, ignore_head, ignore_tail, [[rule]])"},
        {"name = \"p\"\n", "line 1: no [[rule]]"},
        // The parser's faults name the key of their line, and what its value lacks.
        {"name = \"p\n",
         "line 1: key 'name': Error while parsing string: unescaped control characters other "
         "than TAB (U+0009) are explicitly prohibited (the string is not closed on its line)"},
        {black + "min_duration = 2 s\n",
         "line 6: key 'min_duration': Error while parsing key-value pair: expected a comment or "
         "whitespace, saw 's' (a number takes no unit: seconds as 2.0, a percent as \"2 %\")"},
        {black + "from = 00:00:05:00\n",
         "line 6: key 'from': Error while parsing time: expected '.', saw ':' (a timecode is "
         "written in quotes: \"00:00:05:00\")"},
        {head + "event = \"black\"\nseverity = \xE2\x80\x9C"
                "error\xE2\x80\x9D\n",
         "line 5: key 'severity': Error while parsing value: could not determine value type "
         "(typographic quotes are not TOML's: write \"...\")"},
        {head + "event = \"black\"\nseverity = error\n",
         "line 5: key 'severity': Error while parsing value: could not determine value type (text "
         "is written in quotes: \"error\")"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseProfile(c.text, "test.toml", error).has_value()) << c.text;
        EXPECT_EQ(error, "profile test.toml, " + c.error) << c.text;
    }
}

// --print-profile: one TOML, every string in double quotes, that reads back
// as the same profile and prints the same text again.
TEST(QcProfile, PrintedProfilesReadBackTheSame) {
    const std::string bars = "[[rule]]\nid = \"b\"\nevent = \"bars\"\nseverity = \"info\"\n";
    const std::string texts[] = {
        "name = \"strict \\\"delivery\\\"\"\n[[rule]]\nid = \"soft\"\nindicator = \"blur\"\n"
        "threshold = 6.25\ndirection = \"above\"\nstatistic = \"p95\"\nseverity = \"error\"\n"
        "ebu_item = { id = \"X1\", name = \"Blurriness\" }\n[[rule]]\nid = \"held\"\n"
        "event = \"freeze\"\nthreshold = 0\nmin_duration = 0.1\nseverity = \"warning\"\n"
        "not_during = [\"blurring\"]\nmax_count = 3\n[[rule]]\nid = \"b\"\nindicator = "
        "\"block_loss\"\nevent = \"blurring\"\nthreshold = 1e-3\ndirection = \"below\"\n"
        "severity = \"warning\"\n[[rule]]\nid = \"dark\"\nevent = \"black\"\nmax_level = 40\n"
        "longer_than = 1\nseverity = \"error\"\nin_leader = false\nfrom = \"00:00:10:00\"\n"
        "to = 600\n[[rule]]\nid = \"lv\"\nevent = \"luma_levels\"\nlow = 10\nhigh = 240\n"
        "threshold = 2.5\nseverity = \"info\"\n",
        // Literal and multi-line strings, quotes, backslashes, tabs, text
        // beyond ASCII.
        "name = 'desk\\one'\ndescription = '''\nthe desk's \"own\"\n\tprofile'''\n" + bars,
        "name = \"Qualit\xC3\xA9 \\u00e0 l'antenne\"\n[[rule]]\nid = 'x \"y\"'\nevent = "
        "'black'\nseverity = 'error'\nebu_item = { name = 'Constant\tColour' }\n",
        // Times as numbers, as timecodes and as seconds in text.
        "name = \"w\"\nignore_head = \"00:00:05:00\"\nignore_tail = 2.5\n" + bars,
        "name = \"w\"\nignore_head = \".5\"\nignore_tail = \"2\"\n[[rule]]\nid = \"b\"\n"
        "event = \"bars\"\nseverity = \"info\"\nfrom = \"1\"\nto = 1e3\n",
        // Percents print as the numbers they stand for.
        "name = \"pct\"\n[[rule]]\nid = \"p\"\nindicator = \"pillarbox\"\nthreshold = \"10 %\"\n"
        "direction = \"above\"\nseverity = \"warning\"\n[[rule]]\nid = \"l\"\nevent = "
        "\"luma_levels\"\nlow = \"-1 %\"\nhigh = \"103 %\"\nthreshold = \"0.5 %\"\nseverity = "
        "\"warning\"\n",
    };
    std::vector<Profile> profiles = {defaultProfile()};
    for (const std::string& text : texts) profiles.push_back(parsed(text));
    for (const Profile& p : profiles) {
        const std::string printed = profileToToml(p);
        EXPECT_EQ(parsed(printed), p) << printed;
        EXPECT_EQ(profileToToml(parsed(printed)), printed);
        // No literal string: a double quote opens every value that is text.
        for (const char* literal : {"= '", "[ '", ", '", "{ '"}) {
            EXPECT_EQ(printed.find(literal), std::string::npos) << printed;
        }
        EXPECT_EQ(printed.find("\"\"\""), std::string::npos) << printed;
    }
    const Profile& custom = profiles[1];
    EXPECT_EQ(custom.rules[0].ebu.id, "X1");
    EXPECT_EQ(custom.rules[2].type, "blurring");
    EXPECT_EQ(custom.rules[3].maxLevel, 40);
    EXPECT_EQ(custom.rules[3].minShare, 98.0);
    EXPECT_TRUE(custom.rules[3].strict);
    EXPECT_EQ(custom.rules[3].from, "00:00:10:00");
    EXPECT_EQ(custom.rules[4].severity, Severity::Info);
    const Profile combing = parsed(
        "name = \"n\"\n[[rule]]\nid = \"i\"\nindicator = \"interlace\"\nthreshold = 1\n"
        "direction = \"above\"\nseverity = \"error\"\n");
    EXPECT_EQ(combing.rules[0].type, "combing");
}

// A percent stands for a share as a fraction (letterbox) or as it is
// (luma_levels, min_share), and for a luma level of the range 16-235.
TEST(QcProfile, PercentsReadAsTheNumbersTheyStandFor) {
    const struct {
        std::string keys, percent, number;
    } cases[] = {
        {"indicator = \"letterbox\"\ndirection = \"above\"\n", "threshold = \"2.5 %\"",
         "threshold = 0.025"},
        {"indicator = \"pillarbox\"\ndirection = \"below\"\nstatistic = \"p5\"\n",
         "threshold = \"+10%\"", "threshold = 0.1"},
        {"event = \"luma_levels\"\n", "threshold = \"1.5 %\"\nlow = \"-1 %\"\nhigh = \"103 %\"",
         "threshold = 1.5\nlow = 14\nhigh = 242"},
        {"event = \"black\"\n", "min_share = \"98 %\"\nmax_level = \"7 %\"",
         "min_share = 98\nmax_level = 31"},
    };
    for (const auto& c : cases) {
        const std::string rule =
            "name = \"p\"\n[[rule]]\nid = \"r\"\nseverity = \"error\"\n" + c.keys;
        EXPECT_EQ(parsed(rule + c.percent + "\n"), parsed(rule + c.number + "\n")) << c.percent;
    }
}

TEST(QcDetector, RunsBecomeEventsWithTheirSeverityAndExtent) {
    const struct {
        const char* name;  // each over 100 frames
        std::function<void(int, FrameValues&)> edit;
        std::vector<std::string> changes;
        std::vector<std::string> events;  // "type severity rule first-last start-end"
    } cases[] = {
        {"clean", [](int, FrameValues&) {}, {}, {}},
        {"black of 2.4 s: a warning that becomes an error",
         [](int i, FrameValues& v) {
             if (i >= 20 && i < 80) v = FrameValues{0, 0, 1, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 1, -1};
         },
         {"open black_warning 32", "escalate black_error 69", "close black_error 79"},
         {"black error black_error 20-79 0.80-3.20 -"}},
        {"black of 0.6 s, and 0.4 s",
         [](int i, FrameValues& v) { v[kBlackout] = (i >= 10 && i < 25) || (i >= 50 && i < 60); },
         {"open black_warning 22", "close black_warning 24"},
         {"black warning black_warning 10-24 0.40-1.00 -"}},
        // A held picture with near repeats, a refreshed key frame (2.5) and
        // one refreshed on two frames (MPEG-2): the run starts at frame 29,
        // whose picture is held, and ends at the end of the file.
        {"held picture to the end",
         [](int i, FrameValues& v) {
             if (i >= 30) v[kTemporalActivity] = i == 60 ? 2.5 : i / 2 == 36 ? 1.5 : 0.05 * (i % 3);
         },
         {"open freeze_warning 41", "escalate freeze_error 78", "close freeze_error 99"},
         {"freeze error freeze_error 29-99 1.16-4.00 0"}},
        // A smooth gradient moving slowly changes as little on every frame as
        // a hold refreshed now and then, but much for its detail.
        {"slow smooth gradient",
         [](int i, FrameValues& v) {
             v[kSpatialActivity] = 1.0;
             v[kTemporalActivity] = 0.1 + 0.02 * (i % 3);
         },
         {},
         {}},
        {"the same activity held on a detailed picture",
         [](int i, FrameValues& v) { v[kTemporalActivity] = 0.1 + 0.02 * (i % 3); },
         {"open freeze_warning 12", "escalate freeze_error 49", "close freeze_error 99"},
         {"freeze error freeze_error 0-99 0.00-4.00 0.1"}},
        // Two spikes in a row that move more together than one may, and a
        // static camera whose activity never falls to 1.
        {"near repeats broken by motion",
         [](int i, FrameValues& v) {
             v[kTemporalActivity] = i >= 70 ? 1.5 : (i == 40 || i == 41) ? 3.0 : 0.1;
         },
         {"open freeze_warning 12", "close freeze_warning 39", "open freeze_warning 53",
          "close freeze_warning 69"},
         {"freeze warning freeze_warning 0-39 0.00-1.60 0.1",
          "freeze warning freeze_warning 41-69 1.64-2.80 0.1"}},
        // Blur for 1.2 s, black in its middle: the black frames end the run,
        // and neither half lasts a second. Bars and flat blur during black
        // make no event (a letterbox rule is not in the profile, blur is).
        {"blur broken by black",
         [](int i, FrameValues& v) {
             if (i >= 10 && i < 40) v[kBlur] = 9.0;
             if (i >= 24 && i < 26) v = FrameValues{1, 0, 1, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 1, -1};
         },
         {},
         {}},
        // Block loss while blur: cross-talk, not counted; alone it makes an
        // event. Blur (relative to the file's level) is judged from 0.5 s on.
        {"block loss not during blur",
         [](int i, FrameValues& v) {
             if (i >= 10 && i < 40) v[kBlur] = 9.0;
             if (i >= 10 && i < 40) v[kBlockLoss] = 30.0;
             if (i >= 60 && i < 70) v[kBlockLoss] = i == 65 ? -1.0 : 13.0 + i;
         },
         {"open blur 37", "close blur 39", "open block_loss 64", "close block_loss 69"},
         {"blur warning blur 13-39 0.52-1.60 9",
          "block_loss warning block_loss 60-69 2.40-2.80 82"}},
        // Noise for 1.2 s, and over the whole file; fine texture reads as
        // noise on every frame, beyond what noise reads: only rising over
        // that level would count.
        {"noise over a clean picture",
         [](int i, FrameValues& v) { v[kNoise] = i >= 40 && i < 70 ? 11.0 : 0.3 * (i % 2); },
         {"open noise 64", "close noise 69"},
         {"noise warning noise 40-69 1.60-2.80 11"}},
        {"noise over the whole file",
         [](int i, FrameValues& v) { v[kNoise] = 11.0 + 0.1 * (i % 3); },
         {"open noise 24", "close noise 99"},
         {"noise warning noise 0-99 0.00-4.00 11.2"}},
        {"texture read as noise", [](int i, FrameValues& v) { v[kNoise] = 60.0 + i % 7; }, {}, {}},
        // Blur over a sharp picture (edges without ramps read 0, under the
        // level's floor, and make the level at it); over a flat one (no
        // edges) nothing makes a level.
        {"blur over a sharp picture",
         [](int i, FrameValues& v) {
             v[kSpatialActivity] = 400.0;
             v[kBlur] = i >= 40 && i < 70 ? 9.0 : 0.0;
         },
         {"open blur 64", "close blur 69"},
         {"blur warning blur 40-69 1.60-2.80 9"}},
        {"blur over a flat picture",
         [](int i, FrameValues& v) {
             v[kSpatialActivity] = 5.0;
             v[kBlur] = i >= 40 && i < 70 ? 9.0 : 0.0;
         },
         {},
         {}},
        // The worst 5 % of blockiness: rated over the file, black frames left out.
        {"blocking by its 5th percentile",
         [](int i, FrameValues& v) {
             v[kBlockiness] = i < 6 ? 0.05 + 0.01 * i : 0.9;
             if (i >= 90) v = FrameValues{0.0, 0, 1, 1, 0, 0, 0, 1, 0, 16, 0, 0, 0, 1, -1};
         },
         {"open blocking 99", "close blocking 99"},
         {"blocking warning blocking 0-99 0.00-4.00 0.05"}},
    };
    for (const auto& c : cases) {
        const Detected run = detect(defaultProfile(), 100, c.edit);
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
    Detected run = detect(defaultProfile(), 110,
                          [](int i, FrameValues& v) { v[kBlackout] = i >= 10 && i < 60; },
                          {times, [](int i) { return i == 70 || i == 71 ? 2
                                                     : i == 90          ? 1
                                                                        : 0; }});
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

    // Warnings alone pass, unless they count as failures; information never fails.
    const Profile profile = parsed(
        "name = \"p\"\n[[rule]]\nid = \"bars\"\nindicator = \"letterbox\"\nthreshold = 0.1\n"
        "direction = \"above\"\nseverity = \"warning\"\n[[rule]]\nid = \"b\"\n"
        "event = \"black\"\nseverity = \"info\"\n");
    EventDetector detector(profile, 25.0);
    FrameValues v = cleanFrame(), black = cleanFrame();
    v[kLetterbox] = 0.2;
    black[kBlackout] = 1.0;
    detector.feed(FrameInput{0, 0.0, &v, true, 0, {}});
    detector.feed(FrameInput{1, 0.04, &black, false, 0, {}});
    detector.finish();
    EXPECT_TRUE(detector.verdict(false).pass);
    EXPECT_FALSE(detector.verdict(true).pass);
    EXPECT_EQ(detector.verdict(true).infos, 1);
    EXPECT_EQ(detector.verdict(true).warnings, 1);
    EXPECT_DOUBLE_EQ(detector.events().at(0).endSeconds, 0.04);
}

TEST(QcTimecode, FramesAndTimesReadAsSmpteTimecode) {
    const double ntsc = 30000.0 / 1001.0;
    const struct {
        std::string start;
        double fps;
        double seconds;
        std::string expected;
    } cases[] = {
        {"", 25.0, 0.0, "00:00:00:00"},
        {"", 25.0, 10.2, "00:00:10:05"},
        {"10:00:00:00", 25.0, 3661.04, "11:01:01:01"},
        {"", 24.0, 59.99, "00:01:00:00"},
        // Drop-frame: frame numbers 0 and 1 are skipped each minute but every tenth.
        {"", ntsc, 1799.0 / ntsc, "00:00:59;29"},
        {"", ntsc, 1800.0 / ntsc, "00:01:00;02"},
        {"", ntsc, 17982.0 / ntsc, "00:10:00;00"},
        {"", ntsc, 107892.0 / ntsc, "01:00:00;00"},
        {"00:59:59;28", ntsc, 2.0 / ntsc, "01:00:00;00"},
        {"00:00:59;29", ntsc, 1.0 / ntsc, "00:01:00;02"},
        // A non-drop start timecode keeps the clock non-drop at 29.97.
        {"01:00:00:00", ntsc, 1800.0 / ntsc, "01:01:00:00"},
        {"", 60000.0 / 1001.0, 3600.0 / (60000.0 / 1001.0), "00:01:00;04"},
        // A start timecode that cannot be read counts from zero; past a day it wraps.
        {"1:2", 25.0, 1.0, "00:00:01:00"},
        {"23:59:59:24", 25.0, 0.04, "00:00:00:00"},
    };
    for (const auto& c : cases) {
        const TimecodeClock clock(c.start, c.fps);
        EXPECT_EQ(clock.at(c.seconds), c.expected) << c.start << " " << c.seconds;
    }
    EXPECT_FALSE(TimecodeClock("", 0.0).valid());
    EXPECT_EQ(roundMillis(10.200000000000001), 10.2);
    EXPECT_EQ(millisText(1.0 / 3.0), "0.333");
    EXPECT_EQ(parseTime("00:00:05:12", 25.0), 5.48);
    EXPECT_EQ(parseTime("4.5", 25.0), 4.5);
    EXPECT_FALSE(parseTime("5 s", 25.0));
    EXPECT_FALSE(parseTime("00:00:05:30", 25.0));
}

// Lost frames show as gaps in the timestamps of a constant-rate stream, and a
// file cut short as an end before the declared one or as the input's error.
TEST(QcDetector, TimestampGapsAndTruncationAreEvents) {
    std::vector<double> times;
    for (int i = 0; i < 100; ++i) times.push_back(i < 50 ? i * 0.04 : (i + 12) * 0.04);
    const auto declared = [](double seconds) {
        return [seconds](EventDetector& d) { d.setTimeline(25.0, seconds); };
    };
    const auto none = [](int, FrameValues&) {};
    const Detected gap = detect(defaultProfile(), 100, none, {times, {}, {}, declared(8.0)});
    ASSERT_EQ(gap.events.size(), 2u);
    const Event& lost = gap.events[0];
    EXPECT_EQ(lost.type, "frames_lost");
    EXPECT_EQ(lost.severity, Severity::Error);
    EXPECT_EQ(lost.firstFrame, 50);
    EXPECT_EQ(lost.frames(), 0);
    EXPECT_NEAR(lost.startSeconds, 2.0, 1e-9);
    EXPECT_NEAR(lost.endSeconds, 2.48, 1e-9);
    EXPECT_EQ(lost.message, "12 frames lost (a gap of 0.52 s in the timestamps)");
    const Event& cut = gap.events[1];
    EXPECT_EQ(cut.type, "truncated");
    EXPECT_NEAR(cut.startSeconds, 4.48, 1e-9);
    EXPECT_NEAR(cut.endSeconds, 8.0, 1e-9);
    EXPECT_FALSE(gap.verdict.pass);

    // Evenly spaced frames ending where declared (within two frames): nothing;
    // an input error that says the file is cut short: truncated.
    for (const std::string ending : {"", "the file ends after 91 of its 150 frames (truncated)"}) {
        const Detected even = detect(
            defaultProfile(), 100, none,
            {{}, {}, {}, declared(4.05), [&ending](EventDetector& d) { d.inputEnded(ending); }});
        EXPECT_EQ(even.events.size(), ending.empty() ? 0u : 1u) << ending;
        EXPECT_TRUE(ending.empty() || even.events[0].type == "truncated");
    }

    // One slot missing after the first picture is a transcoder settling the
    // timestamps (no event); the same slot later, or two of them, is lost.
    for (const auto& [after, slots, lost] :
         {std::tuple{1, 1, false}, std::tuple{1, 2, true}, std::tuple{30, 1, true}}) {
        std::vector<double> t;
        for (int i = 0; i < 100; ++i) t.push_back((i < after ? i : i + slots) * 0.04);
        const Detected d = detect(defaultProfile(), 100, none, {t, {}, {}, declared(4.0)});
        EXPECT_EQ(!d.events.empty() && d.events[0].type == "frames_lost", lost) << after << slots;
        EXPECT_EQ(d.verdict.pass, !lost) << after << " " << slots;
    }
    // A file cut short loses the pictures coded after the cut, B pictures
    // shown among its last frames: one truncated event from the first of
    // them; a gap further back is a loss of its own, and so are the gaps of
    // a file that is not cut short.
    const struct {
        std::vector<int> missing;  // slots of 1/25 s without a frame (of 200 frames)
        std::string ending;        // what the input ended on
        double declaredEnd;
        std::vector<std::string> events;
        bool stopped = false;  // the run stopped before the input ended
    } cuts[] = {
        {{196, 198},
         "the file ends prematurely (truncated)",
         10.0,
         {"truncated before 196, 7.84-10.00: the input is cut short: the file ends prematurely "
          "(truncated); 2 frames among the last ones lost with it (gaps in the timestamps)"}},
        {{196, 198},
         "",
         10.0,
         {"truncated before 196, 7.84-10.00: the frames end at 8.08 s of the 10.00 s the "
          "container declares (truncated); 2 frames among the last ones lost with it (gaps in the "
          "timestamps)"}},
        {{40, 196},
         "the file ends prematurely (truncated)",
         10.0,
         {"frames_lost before 40, 1.60-1.64: 1 frame lost (a gap of 0.08 s in the timestamps)",
          "truncated before 195, 7.84-10.00: the input is cut short: the file ends prematurely "
          "(truncated); 1 frame among the last ones lost with it (gaps in the timestamps)"}},
        {{178},
         "the file ends prematurely (truncated)",
         10.0,
         {"frames_lost before 178, 7.12-7.16: 1 frame lost (a gap of 0.08 s in the timestamps)",
          "truncated before 200, 8.04-10.00: the input is cut short: the file ends prematurely "
          "(truncated)"}},
        {{196, 198},
         "",
         8.08,
         {"frames_lost before 196, 7.84-7.88: 1 frame lost (a gap of 0.08 s in the timestamps)",
          "frames_lost before 197, 7.92-7.96: 1 frame lost (a gap of 0.08 s in the timestamps)"}},
        {{196, 198},
         "",
         10.0,
         {"frames_lost before 196, 7.84-7.88: 1 frame lost (a gap of 0.08 s in the timestamps)",
          "frames_lost before 197, 7.92-7.96: 1 frame lost (a gap of 0.08 s in the timestamps)"},
         true},
    };
    for (const auto& c : cuts) {
        std::vector<double> t;
        for (int slot = 0; t.size() < 200; ++slot) {
            if (std::find(c.missing.begin(), c.missing.end(), slot) == c.missing.end()) {
                t.push_back(slot * 0.04);
            }
        }
        const std::string ending = c.ending;
        const double end = c.declaredEnd;
        const Detected d = detect(defaultProfile(), 200, none,
                                  {t,
                                   {},
                                   {},
                                   [end](EventDetector& e) { e.setTimeline(25.0, end); },
                                   [&ending, &c](EventDetector& e) {
                                       e.inputEnded(ending);
                                       if (c.stopped) e.stoppedEarly();
                                   }});
        std::vector<std::string> events;
        for (const Event& e : d.events) {
            char times[64];
            std::snprintf(times, sizeof times, "%.2f-%.2f", e.startSeconds, e.endSeconds);
            events.push_back(e.type + " before " + std::to_string(e.firstFrame) + ", " + times +
                             ": " + e.message);
        }
        EXPECT_EQ(events, c.events) << c.ending << " " << c.missing.front();
    }
}

// Measured pictures: bars, black with a logo, out-of-range luma.
TEST(QcDetector, PictureConditionsLeaderAndWindows) {
    // Pictures of these samples at these levels.
    const auto picture = [](std::vector<std::pair<int, int64_t>> levels, bool bars = false) {
        PictureMeasures m;
        for (const auto& [level, samples] : levels) {
            for (size_t v = static_cast<size_t>(level); v < 256; ++v) m.atOrBelow[v] += samples;
            m.samples += samples;
        }
        m.bars = bars;
        return m;
    };
    const PictureMeasures bars = picture({{128, 100}}, true), legal = picture({{100, 100}});
    const PictureMeasures logo = picture({{16, 985}, {235, 15}});      // 98.5 % black, a white logo
    const PictureMeasures programme = picture({{100, 97}, {250, 3}});  // 3 % above 246

    // 0-2 s bars, 2-3 s black (the leader), 3-5 s programme out of range,
    // 5-7 s black with a logo, 7-10 s programme.
    const auto measuresAt = [&](int i) -> const PictureMeasures* {
        if (i < 50) return &bars;
        if (i < 75) return &logo;
        if (i < 125) return &programme;
        if (i < 175) return &logo;
        return &legal;
    };
    const auto run = [&](const Profile& profile) {
        std::vector<std::string> seen;
        const auto activity = [](int i, FrameValues& v) { v[kTemporalActivity] = i < 50 ? 0 : 10; };
        const Feed feed{{}, {}, measuresAt, [](EventDetector& d) { d.setEnd(10.0); }};
        for (const Event& e : detect(profile, 250, activity, feed).events) {
            seen.push_back(e.type + " " + severityName(e.severity) + " " +
                           std::to_string(e.firstFrame) + "-" + std::to_string(e.lastFrame) +
                           (e.maxCount >= 0 ? ": " + e.message : ""));
        }
        return seen;
    };
    EXPECT_EQ(run(defaultProfile()),
              (std::vector<std::string>{"bars info 0-49", "luma_levels warning 75-124",
                                        "black error 125-174"}));
    // Without in_leader = false the black after the bars counts too; a
    // window and ignore_head / ignore_tail keep frames out; longer_than
    // needs more than the duration.
    const std::string rule =
        "[[rule]]\nid = \"b\"\nevent = \"black\"\nmax_level = 32\n"
        "severity = \"error\"\n";
    EXPECT_EQ(run(parsed("name = \"n\"\n" + rule + "min_duration = 1\n")),
              (std::vector<std::string>{"black error 50-74", "black error 125-174"}));
    EXPECT_EQ(run(parsed("name = \"n\"\n" + rule + "longer_than = 1\n")),
              (std::vector<std::string>{"black error 125-174"}));
    EXPECT_EQ(run(parsed("name = \"n\"\n" + rule + "from = 4\nto = \"00:00:06:00\"\n")),
              (std::vector<std::string>{"black error 125-149"}));
    EXPECT_EQ(run(parsed("name = \"n\"\nignore_head = \"00:00:05:10\"\nignore_tail = 4\n" + rule)),
              (std::vector<std::string>{"black error 135-149"}));
    EXPECT_EQ(run(parsed("name = \"n\"\nignore_head = 5.4\n" + rule)),
              (std::vector<std::string>{"black error 135-174"}));
    // A statistic rates the frames of its window only (the bars are still).
    const std::string still =
        "[[rule]]\nid = \"s\"\nindicator = \"temporal_activity\"\nstatistic = \"min\"\n"
        "threshold = 5\ndirection = \"below\"\nseverity = \"error\"\n";
    for (const auto& [window, events] :
         {std::pair{"", std::vector<std::string>{"temporal_activity error 0-249"}},
          {"to = 2\n", {"temporal_activity error 0-249"}},
          {"from = 2\n", {}},
          {"from = \"00:00:01:00\"\nto = 3\n", {"temporal_activity error 0-249"}},
          {"from = 3\nto = 9\n", {}}}) {
        EXPECT_EQ(run(parsed("name = \"n\"\n" + still + window)), events) << window;
    }
    // Live runs rate the last frames only, and the event starts with them.
    const Feed live{{}, {}, measuresAt, [](EventDetector& d) { d.setLiveLimits(0.0, 50, 64); }};
    const Detected last = detect(
        parsed("name = \"n\"\n[[rule]]\nid = \"m\"\nindicator = \"temporal_activity\"\n"
               "statistic = \"max\"\nthreshold = 5\ndirection = \"above\"\nseverity = \"error\"\n"),
        250, [](int i, FrameValues& v) { v[kTemporalActivity] = i < 50 ? 0 : 10; }, live);
    ASSERT_EQ(last.events.size(), 1u);
    EXPECT_EQ(last.events[0].firstFrame, 200);
    EXPECT_DOUBLE_EQ(last.events[0].startSeconds, 8.0);
    // A held picture is held from the frame it repeats, but no earlier than
    // the frames the rule judges (the bars are held for 2 s).
    const std::string held = "[[rule]]\nid = \"f\"\nevent = \"freeze\"\nseverity = \"error\"\n";
    for (const auto& [head, window, first] : {std::tuple{"", "", "0"},
                                              {"", "from = 1\n", "25"},
                                              {"ignore_head = 1\n", "", "25"},
                                              {"ignore_head = \"00:00:00:10\"\n", "", "10"}}) {
        EXPECT_EQ(run(parsed(std::string("name = \"n\"\n") + head + held + window)),
                  (std::vector<std::string>{std::string("freeze error ") + first + "-49"}))
            << head << window;
    }
    // A still card after the bars (a slate) is the leader's for 10 s; a
    // picture held after moving ones is not.
    const auto cardMeasures = [&](int i) -> const PictureMeasures* {
        return i < 50 ? &bars : &legal;
    };
    for (const auto& [stillFrom, stillTo, events] :
         {std::tuple{51, 174, std::vector<std::string>{}},
          {51, 399, {"freeze error 299-399"}},
          {100, 199, {"freeze error 99-199"}}}) {
        const auto activity = [from = stillFrom, to = stillTo](int i, FrameValues& v) {
            v[kTemporalActivity] = i < 50 || (i >= from && i <= to) ? 0 : 10;
        };
        std::vector<std::string> seen;
        for (const Event& e : detect(parsed("name = \"n\"\n" + held + "in_leader = false\n"), 400,
                                     activity, Feed{{}, {}, cardMeasures, {}})
                                  .events) {
            seen.push_back(e.type + " " + severityName(e.severity) + " " +
                           std::to_string(e.firstFrame) + "-" + std::to_string(e.lastFrame));
        }
        EXPECT_EQ(seen, events) << stillFrom << "-" << stillTo;
    }
    // Counting: more than max_count black runs of 1 s make one event.
    EXPECT_EQ(run(parsed("name = \"n\"\n" + rule + "min_duration = 1\nmax_count = 1\n")),
              (std::vector<std::string>{
                  "black error 50-174: 2 black events of 1.00 s or more (at most 1 allowed)"}));
    EXPECT_EQ(run(parsed("name = \"n\"\n" + rule + "min_duration = 1\nmax_count = 2\n")),
              (std::vector<std::string>{}));
}

// Black and luma range rules at several levels, in both ranges, read only
// the levels the profile asks the measures for: the same events as with
// every level counted.
TEST(QcPicture, RulesReadOnlyTheLumaLevelsTheyAsk) {
    const std::string rules[] = {
        "event = \"black\"\nmax_level = 20\nmin_share = 60\n",
        "event = \"black\"\nmax_level = \"10 %\"\nmin_share = 90\n",
        "event = \"black\"\nmax_level = 0\n",
        "event = \"black\"\nmax_level = 255\nmin_share = 99\n",
        "event = \"luma_levels\"\nlow = 30\nhigh = 200\nthreshold = 5\n",
        "event = \"luma_levels\"\nlow = 100\nhigh = 100\nthreshold = 50\n",
        "event = \"luma_levels\"\nlow = 0\nhigh = 254\nthreshold = 0\n",
        "event = \"luma_levels\"\nlow = 1\nhigh = 255\nthreshold = 0\n",
        "event = \"luma_levels\"\nlow = 17\nhigh = 17\n",
    };
    // Pictures of 64 x 36 around a level that sweeps from 0 to 255, each
    // spread over 40 levels (clamped at both ends).
    constexpr int w = 64, h = 36, frames = 60;
    std::vector<std::vector<unsigned char>> pictures;
    for (int i = 0; i < frames; ++i) {
        std::vector<unsigned char>& p = pictures.emplace_back(w * h);
        for (int k = 0; k < w * h; ++k)
            p[k] = static_cast<unsigned char>(std::clamp(i * 5 - 20 + (k * 7) % 41, 0, 255));
    }
    for (const std::string& rule : rules) {
        const Profile profile = parsed("name = \"levels\"\n[[rule]]\nid = \"a\"\n" + rule +
                                       "severity = \"error\"\nmin_duration = 0\n" +
                                       "[[rule]]\nid = \"b\"\nevent = \"luma_levels\"\nlow = 9\n" +
                                       "severity = \"info\"\nmin_duration = 0\n");
        const LumaLevels asked = lumaLevelsOf(profile);
        bool seen = false;  // events in one range at least
        for (const bool fullRange : {false, true}) {
            std::vector<PictureMeasures> counted, every;
            for (const auto& p : pictures) {
                counted.push_back(measurePicture(p.data(), w, h, w, nullptr, 0, false, asked));
                every.push_back(measurePicture(p.data(), w, h, w));
            }
            const auto events = [&](const std::vector<PictureMeasures>& measures) {
                Feed feed;
                feed.measures = [&measures](int i) { return &measures[static_cast<size_t>(i)]; };
                feed.fullRange = fullRange;
                std::vector<std::string> seen;
                for (const Event& e : detect(
                                          profile, frames, [](int, FrameValues&) {}, feed)
                                          .events)
                    seen.push_back(e.rule + " " + std::to_string(e.firstFrame) + "-" +
                                   std::to_string(e.lastFrame) + " " +
                                   std::to_string(e.worstValue.value_or(-1.0)));
                return seen;
            };
            const std::vector<std::string> expected = events(every);
            seen = seen || !expected.empty();
            EXPECT_EQ(events(counted), expected) << rule << (fullRange ? " full range" : "");
        }
        EXPECT_TRUE(seen) << rule;
    }
}

// Flat colour above an edge repeats into the strip above; a lost band into
// neither. A black border along the top edge that ends inside the top strip
// is the picture's edge; a black band filling the top strip is a lost one.
TEST(QcPicture, LostBandsStandApartFromBothNeighbours) {
    constexpr int w = 64, h = 64;
    const auto textured = [](int x, int y) { return (7 * x + 5 * y) % 128 + 40; };
    const struct {
        const char* what;
        std::function<int(int, int)> sample;
        bool apart;
    } cases[] = {
        {"flat above an edge", [](int x, int y) { return y < 32 ? 100 : 3 * x + y; }, false},
        {"band in the middle",
         [&](int x, int y) { return y >= 16 && y < 32 ? 200 : textured(x, y); }, true},
        {"black border of 14 rows", [&](int x, int y) { return y < 14 ? 0 : textured(x, y); },
         false},
        {"black border of 3 rows", [&](int x, int y) { return y < 3 ? 16 : textured(x, y); },
         false},
        {"black top strip", [&](int x, int y) { return y < 16 ? 16 : textured(x, y); }, true},
        {"grey band of 14 rows", [&](int x, int y) { return y < 14 ? 128 : textured(x, y); }, true},
        {"band of two strips",
         [&](int x, int y) { return y >= 16 && y < 48 ? 200 : textured(x, y); }, true},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> picture(w * h);
        for (int i = 0; i < w * h; ++i)
            picture[i] = static_cast<unsigned char>(c.sample(i % w, i / w));
        EXPECT_EQ(measurePicture(picture.data(), w, h, w).bandApart > 20.0, c.apart) << c.what;
    }
}

// Stairs on the block grid: in a band a quarter of the picture tall, all
// of them on the quarter of the sampled rows that step most; all over the
// picture, a quarter.
TEST(QcPicture, GridStepsInABandReadAsABand) {
    constexpr int w = 128, h = 128;
    const auto stairs = [](int x) { return 60 + 3 * (x / 8); };
    const struct {
        const char* what;
        std::function<int(int, int)> sample;
        double band;
    } cases[] = {
        {"band", [&](int x, int y) { return y >= 64 && y < 96 ? stairs(x) : 100; }, 100.0},
        {"all over", [&](int x, int) { return stairs(x); }, 25.0},
        {"flat", [](int, int) { return 100; }, -1.0},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> picture(w * h);
        for (int i = 0; i < w * h; ++i)
            picture[i] = static_cast<unsigned char>(c.sample(i % w, i / w));
        EXPECT_EQ(measurePicture(picture.data(), w, h, w).gridBand, c.band) << c.what;
    }
}

// Scan type: the share of woven frames among those that move enough to
// tell, over the run, in a stream not declared interlaced.
TEST(QcDetector, ScanTypeRatesWovenFramesOverTheRun) {
    const auto fields = [](double moving, double combed, double ratio, double shifted = 0.0) {
        PictureMeasures m;
        m.height = 1080;
        m.fieldsMeasured = true;
        m.moving = moving;
        m.combed = combed;
        m.fieldRatio = ratio;
        m.shifted = shifted;
        return m;
    };
    const PictureMeasures still = fields(0.2, 50.0, 0.5), clean = fields(5.0, 5.0, 1.1),
                          topFirst = fields(5.0, 3.0, 0.6), woven = fields(5.0, 20.0, 1.0),
                          tilted = fields(5.0, 0.0, 2.2), repeated = fields(5.0, 0.0, 0.3),
                          movedOneRow = fields(5.0, 0.0, 0.0, 100.0),
                          repeatedMatching = fields(5.0, 0.0, 0.0, 88.0),
                          scrolled = fields(40.0, 11.0, 1.0, 99.9);
    const struct {
        int first, last;            // woven frames, of 300
        int moving;                 // frames from 0 that move; the rest are still
        const PictureMeasures* as;  // how the woven frames read
        bool interlaced;
        std::string expected;
    } cases[] = {
        {20, 59, 300, &topFirst, false, "scan_type error 20-59 top field first"},
        {20, 59, 300, &woven, false, "scan_type error 20-59"},
        {20, 59, 300, &topFirst, true, ""},                    // declared: not judged
        {20, 34, 300, &woven, false, ""},                      // 15 frames: under a second
        {20, 59, 60, &woven, false, "scan_type error 20-59"},  // 40 of 60 moving
        {20, 44, 300, &woven, false, ""},                      // 25 of 300: under 10 %
        {20, 59, 300, &tilted, false, ""},                     // no comb: edges moved whole rows
        {20, 59, 300, &repeated, false, "scan_type error 20-59 top field first"},
        {20, 59, 300, &movedOneRow, false, ""},  // the previous picture moved one row
        {20, 59, 300, &scrolled, false, ""},     // combs, but moved one row
        {20, 59, 300, &repeatedMatching, false, "scan_type error 20-59 top field first"},
    };
    for (const auto& c : cases) {
        Feed feed;
        feed.interlaced = c.interlaced;
        feed.measures = [&](int i) {
            return i >= c.first && i <= c.last ? c.as : i < c.moving ? &clean : &still;
        };
        std::string seen;
        for (const Event& e : detect(
                                  defaultProfile(), 300, [](int, FrameValues&) {}, feed)
                                  .events) {
            seen += e.type + " " + severityName(e.severity) + " " + std::to_string(e.firstFrame) +
                    "-" + std::to_string(e.lastFrame) +
                    (e.message.ends_with("top field first") ? " top field first" : "");
        }
        EXPECT_EQ(seen, c.expected) << c.first << "-" << c.last << " of " << c.moving;
    }
}

}  // namespace
