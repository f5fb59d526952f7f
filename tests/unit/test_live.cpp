// Live monitoring's pure parts: the option values, the input's timeline and
// the Prometheus text format of the metrics.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>

#include "io/live_source.h"
#include "live/events.h"
#include "live/exec_hook.h"
#include "live/metrics.h"
#include "settings/settings.h"

using namespace lumaqc;

// "text|value read", the value "-" when the text is refused.
TEST(Live, OptionValues) {
    const auto check = [](const char* testCase, auto parse) {
        const std::string text(testCase, std::strchr(testCase, '|'));
        std::ostringstream out;
        if (const auto value = parse(text)) out << *value;
        EXPECT_EQ(out.str().empty() ? "-" : out.str(), std::strchr(testCase, '|') + 1) << text;
    };
    for (const char* c :
         {"2|2", "0.5|0.5", "500ms|0.5", "60s|60", "10m|600", "1h|3600", "1.5h|5400", ".25|0.25",
          "|-", "h|-", "-1s|-", "1d|-", "1 s|-", "1e3|-", "nan|-"}) {
        check(c, parseDuration);
    }
    for (const char* c :
         {"1000|1000", "512K|524288", "1G|1073741824", "4294967296G|4611686018427387904",
          "4294967297G|-", "1k|-", "1.5M|-", "-1|-"}) {
        check(c, parseSize);
    }
    const auto endpoint = [](const std::string& text) {
        const std::optional<Endpoint> e = parseEndpoint(text);
        return e ? std::optional(e->host + " " + std::to_string(e->port)) : std::nullopt;
    };
    for (const char* c :
         {"9100|127.0.0.1 9100", ":9100|127.0.0.1 9100", "0.0.0.0:80|0.0.0.0 80", "[::1]:0|::1 0",
          "::1:9100|-", "host:65536|-", "host:|-", "host:9x|-", "[]:1|-"}) {
        check(c, endpoint);
    }
}

// Frame by frame: the input's timestamp (or none), whether it is only
// index / fps, the arrival time and a gap before it, then the time expected.
TEST(Live, TimelineStaysContinuous) {
    const struct {
        std::optional<double> stamp;
        bool nominal;
        double arrival;
        bool gap;
        double expected;
    } frames[] = {
        {100.0, false, 0.0, false, 100.0},          // the first frame keeps its timestamp
        {100.04, false, 0.01, false, 100.04},       // faster than real time: followed
        {103.04, false, 0.02, false, 103.04},       // a long frame of a variable rate
        {50.0, false, 0.06, false, 103.08},         // backwards: one frame on (25 fps)
        {50.04, false, 0.07, false, 103.12},        // then the new timestamps
        {90.0, false, 1.0, false, 104.05},          // 40 s ahead after 1 s: a jump
        {std::nullopt, false, 3.0, false, 106.05},  // no timestamp: the wall clock
        {90.08, false, 3.04, false, 106.09},        // nothing to follow yet: the wall clock
        {95.08, false, 8.04, true, 111.09},         // a gap the timestamps kept counting
        {95.12, true, 13.04, true, 116.09},         // index / fps cannot tell a gap's length
        {95.16, true, 13.08, false, 116.13},
    };
    lumaqc::Timeline timeline(25.0);
    for (size_t i = 0; i < std::size(frames); ++i) {
        const auto& f = frames[i];
        EXPECT_NEAR(timeline.next(f.stamp, f.nominal, f.arrival, f.gap), f.expected, 1e-9)
            << "frame " << i;
    }
}

TEST(Live, ExpositionFormat) {
    const double inf = std::numeric_limits<double>::infinity();
    const double numbers[] = {0, 42, 0.1, -2.5, 1e21, inf, -inf, std::nan(""), 1796606682.4175615};
    const char* texts[] = {
        "0", "42", "0.1", "-2.5", "1e+21", "+Inf", "-Inf", "NaN", "1796606682.4175615"};
    for (size_t i = 0; i < std::size(numbers); ++i) EXPECT_EQ(sampleValue(numbers[i]), texts[i]);
    EXPECT_EQ(lumaqc::escapeLabelValue("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");
    EXPECT_EQ(lumaqc::escapeHelp("a\\b\"c\nd"), "a\\\\b\"c\\nd");

    // A run's metrics: an event type whose name needs escaping, two frames,
    // one event open and one closed.
    lumaqc::Metrics metrics(
        std::vector<std::pair<std::string, std::string>>{{"signal_loss", "error"},
                                                         {"odd\"type\\", "warning"}},
        "studio \"A\"");
    metrics.begin(0, 25.0);
    lumaqc::FrameValues values{};
    values[kBlockiness] = 0.5;
    values[kContrast] = std::nan("");
    values[kFlickering] = 0.0;  // the first frame's start value: no rating
    metrics.frame(0, values, 0.0, 0);
    values[kBlockiness] = 1.5;
    values[kFlickering] = -1.0;
    metrics.frame(1, values, 0.04, 3);
    metrics.signalLost();
    metrics.onEvent({"open", "signal_loss", "error", "{}"});
    metrics.onEvent({"open", "odd\"type\\", "warning", "{}"});
    metrics.onEvent({"close", "odd\"type\\", "warning", "{}"});
    const std::string text = metrics.render();

    // Every family once, HELP then TYPE, its samples right after it and named
    // after it; every line ends with a line feed.
    ASSERT_EQ(text.back(), '\n');
    std::istringstream lines(text);
    std::string line;
    std::string family;
    std::set<std::string> families;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(family).second) << family;
            ASSERT_TRUE(std::getline(lines, line));
            EXPECT_EQ(line.rfind("# TYPE " + family + " ", 0), 0u) << line;
        } else {
            const std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_EQ(name, family) << line;
        }
    }
    // The build, 12 of the channel, one per indicator, the indicators by
    // name and their means, the rate, the latest frame's time, 6 of the process.
    EXPECT_EQ(families.size(), 1u + 12u + 15u + 4u + 6u);
    const std::string a = "{channel=\"studio \\\"A\\\"\"", odd = ",type=\"odd\\\"type\\\\\"";
    for (const std::string& sample : {
             "lumaqc_up" + a + "} 1\n",         // the monitor runs
             "lumaqc_receiving" + a + "} 0\n",  // a signal loss is open
             "lumaqc_frames_total" + a + "} 2\n",
             "lumaqc_stalls_total" + a + "} 1\n",
             "lumaqc_decode_errors_total" + a + "} 3\n",
             "lumaqc_reconnects_total" + a + "} 0\n",
             "lumaqc_events_total" + a + odd + ",severity=\"warning\"} 1\n",
             "lumaqc_events_total" + a + ",type=\"signal_loss\",severity=\"error\"} 1\n",
             "lumaqc_event_active" + a + odd + ",severity=\"warning\"} 0\n",
             "lumaqc_event_active" + a + ",type=\"signal_loss\",severity=\"error\"} 1\n",
             "lumaqc_blockiness" + a + "} 1.5\n",
             "lumaqc_contrast" + a + "} NaN\n",
             "lumaqc_indicator" + a + ",name=\"blockiness\"} 1.5\n",
             "lumaqc_indicator_mean" + a + ",name=\"blockiness\",window=\"10s\"} 1\n",
             "lumaqc_indicator_mean" + a + ",name=\"flickering\",window=\"60s\"} NaN\n",
             std::string("# TYPE lumaqc_frames_total counter\n"),
             std::string("# TYPE lumaqc_indicator_mean gauge\n"),
             std::string("# TYPE process_resident_memory_bytes gauge\n"),
             std::string("# TYPE process_cpu_seconds_total counter\n"),
         }) {
        EXPECT_NE(text.find(sample), std::string::npos) << sample << "\nin\n" << text;
    }
}

// The event command's queue: 100 opens wait, later ones are dropped with
// their closes; the closes of the opens that wait are never dropped, and each
// comes after its open. A record over the line bound is cut to it, still
// one JSON object.
TEST(ExecHook, QueueDropsOpensWithTheirClosesAndBoundsLines) {
    char folder[] = "/tmp/lumaqc-hook-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const std::string out = dir + "/out.jsonl";
    long dropped = 0;
    {
        lumaqc::ExecHook hook("while [ ! -e " + dir + "/gate ]; do sleep 0.05; done; cat >> " +
                              out);
        for (const char* record : {"open", "close"})
            for (int i = 0; i < 150; ++i)
                hook.onEvent(lumaqc::liveRecord(record, std::to_string(i).insert(0, 1, 't'),
                                                "warning", i, i, 0, 0, "m"));
        // 100 wait (and the first may already be running): the other opens
        // are dropped with their closes.
        dropped = hook.dropped();
        EXPECT_TRUE(dropped == 100 || dropped == 98) << dropped;
        std::FILE* gate = std::fopen((dir + "/gate").c_str(), "w");
        ASSERT_NE(gate, nullptr);
        std::fclose(gate);
        hook.finish(60.0);
    }
    std::ifstream in(out);
    std::map<std::string, std::vector<std::string>> seen;
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        const auto json = nlohmann::json::parse(line);
        seen[json["type"]].push_back(json["record"]);
    }
    EXPECT_EQ(lines, 300 - dropped);
    EXPECT_EQ(seen.size(), static_cast<size_t>(150 - dropped / 2));
    for (const auto& [type, records] : seen) {
        EXPECT_EQ(records, (std::vector<std::string>{"open", "close"})) << type;
    }
    std::remove(out.c_str());
    std::remove((dir + "/gate").c_str());
    rmdir(folder);

    const lumaqc::LiveEvent longOne = lumaqc::liveRecord("open", "black", "error", 1, 2, 0.0, 0.08,
                                                         std::string(100000, 'x') + "\xc3\xa9");
    const lumaqc::LiveEvent bounded = lumaqc::boundedEvent(longOne);
    EXPECT_LE(bounded.json.size(), lumaqc::kMaxEventLine);
    const auto json = nlohmann::json::parse(bounded.json);
    EXPECT_EQ(json["type"], "black");
    EXPECT_EQ(json["last_frame"], 2);
    EXPECT_EQ(
        json["message"].get<std::string>().substr(json["message"].get<std::string>().size() - 3),
        "...");
    EXPECT_EQ(lumaqc::boundedEvent(bounded).json, bounded.json);
}
