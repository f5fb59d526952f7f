// Live monitoring end to end, all on 127.0.0.1: ffmpeg streams MPEG-TS over
// UDP with a pause and lumaqc reports the loss as it happens, serves its
// metrics during the run (a second run on its port cannot start) and keeps
// its rows when stopped; the event command gets a payload that would be
// dangerous in a shell; memory stays flat with a rolling window; the log
// rotates.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <regex>
#include <set>

#include "live_support.h"

using namespace live_support;

namespace {

class Live : public FfmpegTest {};

std::string scrapeOnce(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1);
    client.set_read_timeout(1);
    const auto response = client.Get("/metrics");
    return response && response->status == 200 ? response->body : std::string();
}

}  // namespace

TEST_F(Live, UdpStreamWithAPause) {
    const std::string udp = "udp://127.0.0.1:" + std::to_string(freePort(SOCK_DGRAM));
    Lumaqc lumaqc({udp, "--threads", "2", "--quiet", "--metrics", "127.0.0.1:0", "--profile",
                   "default", "--events", "events.jsonl", "--exec-on-event", "cat >> exec.jsonl"},
                  dir_.path());
    const int port = metricsPort(lumaqc);
    ASSERT_GT(port, 0) << lumaqc.err();
    httplib::Client client("127.0.0.1", port);
    const auto scrape = [&client] {
        const auto response = client.Get("/metrics");
        return response && response->status == 200 ? response->body : std::string();
    };
    // The monitor runs, no picture yet: no lag either (nothing is late).
    const std::string first = scrape();
    EXPECT_EQ(sampleOf(first, "lumaqc_up"), 1) << first;
    EXPECT_EQ(sampleOf(first, "lumaqc_receiving"), 0) << first;
    EXPECT_TRUE(std::isnan(sampleOf(first, "lumaqc_lag_seconds"))) << first;
    {
        // The address taken: one line and 255 before anything else, the
        // earlier log untouched.
        TempDir other;
        writeFile(other.file("metricsResultsCSV.csv"), "earlier\n");
        const std::string where = "127.0.0.1:" + std::to_string(port);
        const RunResult r = runLumaqc({"clip.yuv", "64", "48", "--metrics", where}, other.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "lumaqc: cannot serve metrics on " + where + ": Address already in use\n");
        EXPECT_EQ(readFile(other.file("metricsResultsCSV.csv")), "earlier\n");
    }
    // ffmpeg sends MPEG-TS over UDP for `seconds`, black from 1 s to 2 s if asked.
    const auto send = [&](const std::string& seconds, bool black) {
        const RunResult r = runProgram(
            ffmpeg_,
            fields("-v error -re -f lavfi -i testsrc2=size=160x90:rate=25 -t " + seconds +
                   (black ? " -vf drawbox=color=black:t=fill:enable='between(t,1,2)'" : "") +
                   " -c:v mpeg2video -g 5 -bf 0 -f mpegts " + udp + "?pkt_size=1316"),
            dir_.path());
        ASSERT_EQ(r.status, 0) << r.err;
    };
    // Dead at the start: a loss after the stall timeout, told to the event
    // command (the decision takes it over with the first picture).
    ASSERT_TRUE(waitFor(10, [&] { return sampleOf(scrape(), "lumaqc_stalls_total") == 1; }));
    send("3", true);
    const auto stop = Clock::now();
    // The black stretch (1 s) opened and closed a warning; the loss is an
    // error of the profile.
    const std::string events = dir_.file("events.jsonl");
    ASSERT_TRUE(waitFor(10, [&] { return jsonLines(events).size() >= 5; }));
    // During the loss: every frame that came is out (two threads; a slow
    // build may still be finishing the last ones when the loss opens), and
    // the metrics say so.
    std::string lost = scrape();
    waitFor(5, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::string now = scrape();
        const bool settled =
            sampleOf(now, "lumaqc_frames_total") == sampleOf(lost, "lumaqc_frames_total") &&
            sampleOf(now, "lumaqc_frames_total") ==
                static_cast<double>(logRows(dir_.file("metricsResultsCSV.csv")));
        lost = now;
        return settled;
    });
    EXPECT_EQ(sampleOf(lost, "lumaqc_up"), 1) << lost;
    EXPECT_EQ(sampleOf(lost, "lumaqc_receiving"), 0) << lost;
    EXPECT_EQ(sampleOf(lost, "lumaqc_stalls_total"), 2);
    EXPECT_EQ(sampleOf(lost, "lumaqc_event_active{type=\"signal_loss\",severity=\"error\"}"), 1);
    // Not the lag of the last picture, which would look healthy.
    EXPECT_TRUE(std::isnan(sampleOf(lost, "lumaqc_lag_seconds"))) << lost;
    const double framesBefore = sampleOf(lost, "lumaqc_frames_total");
    EXPECT_GE(framesBefore, 60);
    EXPECT_EQ(framesBefore, logRows(dir_.file("metricsResultsCSV.csv")));

    std::this_thread::sleep_until(stop + std::chrono::seconds(4));
    send("2", false);
    ASSERT_TRUE(waitFor(10, [&] { return jsonLines(events).size() >= 6; }));
    const double stopToBack = std::chrono::duration<double>(Clock::now() - stop).count();
    const std::string back = scrape();
    EXPECT_EQ(sampleOf(back, "lumaqc_receiving"), 1);
    EXPECT_GT(sampleOf(back, "lumaqc_frames_total"), framesBefore + 20);
    EXPECT_EQ(sampleOf(back, "lumaqc_events_total{type=\"signal_loss\",severity=\"error\"}"), 2);
    EXPECT_EQ(sampleOf(back, "lumaqc_events_total{type=\"black\",severity=\"warning\"}"), 1);
    EXPECT_EQ(sampleOf(back, "lumaqc_events_total{type=\"freeze\",severity=\"error\"}"), 0);
    EXPECT_EQ(sampleOf(back, "lumaqc_event_active{type=\"signal_loss\",severity=\"error\"}"), 0);
    EXPECT_GE(sampleOf(back, "lumaqc_lag_seconds"), 0.0) << back;

    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM);
    const size_t rows = logRows(dir_.file("metricsResultsCSV.csv"));
    EXPECT_EQ(lumaqc.err().substr(lumaqc.err().rfind("lumaqc: stopped")),
              "lumaqc: stopped by SIGTERM after " + std::to_string(rows) + " frames\n");
    // In order: the loss at the start (the decision took it over with the
    // first picture), black open and close, signal_loss open and close, the
    // verdict; the event command got every change as it happened (the first
    // open before the decision began).
    const std::vector<Json> seen = jsonLines(events);
    ASSERT_EQ(seen.size(), 7u);
    const char* const order[][2] = {{"open", "signal_loss"}, {"close", "signal_loss"},
                                    {"open", "black"},       {"close", "black"},
                                    {"open", "signal_loss"}, {"close", "signal_loss"}};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(seen[i]["record"], order[i][0]) << i;
        EXPECT_EQ(seen[i]["type"], order[i][1]) << i;
    }
    EXPECT_EQ(seen[0]["first_frame"], 0);
    EXPECT_EQ(seen[6]["record"], "verdict");
    EXPECT_EQ(seen[6]["errors"], 2);
    const std::vector<Json> heard = jsonLines(dir_.file("exec.jsonl"));
    ASSERT_EQ(heard.size(), 6u);
    EXPECT_EQ(heard[0]["record"], "open");
    EXPECT_EQ(heard[0]["type"], "signal_loss");
    EXPECT_EQ(heard[0]["wall_time"], seen[0]["wall_time"]);  // when it opened, not when handed over
    EXPECT_EQ(std::vector<Json>(heard.begin() + 1, heard.end()),
              std::vector<Json>(seen.begin() + 1, seen.begin() + 6));
    EXPECT_NEAR(seen[3]["first_frame"].get<double>(), 25, 2);  // black from 1 s to 2 s
    EXPECT_NEAR(seen[3]["last_frame"].get<double>(), 49, 2);
    EXPECT_EQ(seen[5]["severity"], "error");
    EXPECT_EQ(seen[5]["first_frame"], framesBefore);
    EXPECT_EQ(seen[5]["frames"], 0);
    // The loss lasted at least the stall timeout, and no longer than the
    // time from the stop to its close being seen (the last frames may be
    // read a little after the sender ended).
    EXPECT_GE(seen[5]["duration_seconds"].get<double>(), 2.0);
    EXPECT_LE(seen[5]["duration_seconds"].get<double>(), stopToBack + 2.0);
}

// The event is data: the input's name, which the event's message carries,
// would run three commands if it were pasted into a shell command line.
TEST_F(Live, EventCommandGetsTheEventAsData) {
    const std::string name = "in $(touch pwned); touch pwned2 `touch pwned3` 'q\".y4m";
    ASSERT_EQ(mkfifo(dir_.file(name).c_str(), 0600), 0);
    Lumaqc lumaqc({name, "--stall-timeout", "0.3", "--no-log", "--quiet", "--exec-on-event",
                   "cat > \"event-$LUMAQC_EVENT.json\""},
                  dir_.path());
    const int fifo = open(dir_.file(name).c_str(), O_WRONLY);
    ASSERT_GE(fifo, 0);
    const std::string frame = "FRAME\n" + rawFrame(texturedLuma(64, 48, 1), 64, 48);
    const std::string start = "YUV4MPEG2 W64 H48 F25:1 C420jpeg\n" + frame + frame;
    ASSERT_EQ(write(fifo, start.data(), start.size()), static_cast<ssize_t>(start.size()));
    EXPECT_TRUE(waitFor(10, [&] { return !readFile(dir_.file("event-open.json")).empty(); }));
    ASSERT_EQ(write(fifo, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    close(fifo);
    EXPECT_EQ(lumaqc.wait(), 0) << lumaqc.err();
    for (const char* state : {"open", "close"}) {
        const Json event =
            Json::parse(readFile(dir_.file(std::string("event-") + state + ".json")));
        EXPECT_EQ(event["record"], state);
        EXPECT_EQ(event["type"], "signal_loss");
        EXPECT_NE(event["message"].get<std::string>().find(name), std::string::npos) << event;
    }
    for (const char* planted : {"pwned", "pwned2", "pwned3"}) {
        EXPECT_FALSE(fileExists(dir_.file(planted))) << planted;
    }
}

// A feed dead from the start (its connection refused), stopped before any
// picture: each attempt after the first counts as a reconnection, and the
// command is handed the loss's close too, not only its open.
TEST_F(Live, StoppedBeforeAnyPictureClosesTheLossForTheCommand) {
    const int port = freePort(SOCK_STREAM);
    Lumaqc lumaqc({"tcp://127.0.0.1:" + std::to_string(port), "--stall-timeout", "0.5", "--no-log",
                   "--quiet", "--metrics", "127.0.0.1:0", "--exec-on-event", "cat >> hook.jsonl"},
                  dir_.path());
    const int metrics = metricsPort(lumaqc);
    ASSERT_GT(metrics, 0) << lumaqc.err();
    ASSERT_TRUE(waitFor(20, [&] { return jsonLines(dir_.file("hook.jsonl")).size() == 1; }))
        << lumaqc.err();
    EXPECT_TRUE(waitFor(20, [&] {
        return sampleOf(scrapeOnce(metrics), "lumaqc_reconnects_total") >= 2;
    })) << scrapeOnce(metrics);
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    const std::vector<Json> heard = jsonLines(dir_.file("hook.jsonl"));
    ASSERT_EQ(heard.size(), 2u) << lumaqc.err();
    EXPECT_EQ(heard[1]["record"], "close");
    EXPECT_EQ(heard[1]["type"], "signal_loss");
    EXPECT_EQ(lumaqc.err().find("was ended"), std::string::npos) << lumaqc.err();
}

// --log-rotate: each file at most the size (header included) with its
// header; the kept files, oldest first, end with the rows of the run. A log
// that is a link stays one: the file it leads to rotates beside itself, and
// the rotations beside the link (of a log that was a file there) stay.
TEST(LiveLog, RotatesAndKeepsItsFiles) {
    const struct {
        int keep;
        const char* target;  // the log is a link to it (all rows kept), or nullptr
    } cases[] = {{2, nullptr}, {9, "data/ch1.log"}};
    std::string clip;
    for (uint32_t i = 0; i < 40; ++i) clip += rawFrame(texturedLuma(64, 48, i), 64, 48);
    for (const auto& c : cases) {
        TempDir dir;
        writeFile(dir.file("clip.yuv"), clip);
        ASSERT_EQ(
            runLumaqc({"clip.yuv", "64", "48", "--quiet", "--log", "all.csv"}, dir.path()).status,
            0);
        const std::vector<std::string> whole = splitLines(readFile(dir.file("all.csv")));
        std::string log = "metricsResultsCSV.csv";
        if (c.target != nullptr) {
            ASSERT_EQ(mkdir(dir.file("data").c_str(), 0777), 0);
            ASSERT_EQ(symlink(c.target, dir.file(log).c_str()), 0);
            writeFile(dir.file(log + ".1"), "earlier rows\n");
            log = c.target;
        }
        const RunResult r = runLumaqc({"clip.yuv", "64", "48", "--quiet", "--log-rotate", "1K",
                                       "--log-keep", std::to_string(c.keep)},
                                      dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> kept;
        for (int n = c.keep + 1; n >= 0; --n) {
            const std::string name = dir.file(log + (n > 0 ? "." + std::to_string(n) : ""));
            if ((c.target != nullptr || n > c.keep) && !fileExists(name)) continue;
            ASSERT_LE(n, c.keep) << name;
            const std::string text = readFile(name);
            EXPECT_LE(text.size(), 1024u) << name;
            const std::vector<std::string> lines = splitLines(text);
            ASSERT_GT(lines.size(), 1u) << name;
            EXPECT_EQ(lines[0], whole[0]) << name;
            kept.insert(kept.end(), lines.begin() + 1, lines.end());
        }
        EXPECT_EQ(kept, std::vector<std::string>(whole.end() - static_cast<ptrdiff_t>(kept.size()),
                                                 whole.end()));
        EXPECT_TRUE(c.target == nullptr || kept.size() + 1 == whole.size()) << kept.size();
        EXPECT_EQ(std::filesystem::is_symlink(dir.file("metricsResultsCSV.csv")),
                  c.target != nullptr);
        EXPECT_TRUE(c.target == nullptr ||
                    readFile(dir.file("metricsResultsCSV.csv.1")) == "earlier rows\n");
    }
}

namespace {

// A pipe whose reading end lumaqc opens as /dev/fd/N, fed here frame by
// frame (64 x 36 Y4M at `rate`).
class Feed {
  public:
    explicit Feed(const std::string& rate = "25:1") {
        if (pipe(fds_) != 0) return;
        // lumaqc inherits the reading end only; writes after it ended fail
        // instead of ending the test.
        fcntl(fds_[1], F_SETFD, FD_CLOEXEC);
        signal(SIGPIPE, SIG_IGN);
        header_ = "YUV4MPEG2 W64 H36 F" + rate + " C420jpeg\n";
    }
    ~Feed() { close(); }
    std::string path() const { return "/dev/fd/" + std::to_string(fds_[0]); }
    // After lumaqc started: the parent's reading end goes.
    void started() {
        if (fds_[0] >= 0) ::close(std::exchange(fds_[0], -1));
    }
    bool send(int frames) {
        std::string bytes = std::exchange(header_, "");
        for (int i = 0; i < frames; ++i) {
            bytes += "FRAME\n" +
                     rawFrame(texturedLuma(64, 36, static_cast<uint32_t>(sent_++ % 2)), 64, 36);
        }
        return write(fds_[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void close() {
        for (int& fd : fds_) {
            if (fd >= 0) ::close(std::exchange(fd, -1));
        }
    }

  private:
    int fds_[2] = {-1, -1};
    std::string header_;
    int sent_ = 0;
};

// Slow clients cannot blind the metrics: with idle connections and clients
// that send their request a byte at a time holding the connections, every
// scrape is answered within a second (`up` is the sample lumaqc_up). The
// live page and its data are served too.
void expectScrapesAnsweredUnderSlowClients(int port, const std::string& up) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::vector<int> held;
    const auto connectOne = [&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            held.push_back(fd);
        } else {
            close(fd);
        }
    };
    for (int i = 0; i < 100; ++i) connectOne();  // idle
    std::atomic<bool> done{false};
    std::thread slow([&] {
        std::vector<int> drippers;
        for (int i = 0; i < 8; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                drippers.push_back(fd);
            }
        }
        for (int beat = 0; !done; ++beat) {
            for (int fd : drippers) {
                if (send(fd, "G", 1, MSG_NOSIGNAL) < 0) continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
        for (int fd : drippers) close(fd);
    });
    for (int i = 0; i < 12; ++i) {
        const auto asked = Clock::now();
        const std::string text = scrapeOnce(port);
        EXPECT_EQ(sampleOf(text, up), 1) << i;
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - asked).count(), 1.0) << i;
        for (int j = 0; j < 10; ++j) connectOne();  // more idle ones meanwhile
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    done = true;
    slow.join();
    for (int fd : held) close(fd);
    httplib::Client client("127.0.0.1", port);
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("status.json"), std::string::npos);
    const auto status = client.Get("/status.json");
    ASSERT_TRUE(status);
    EXPECT_EQ(Json::parse(status->body)["channels"].size(), 1u);
    EXPECT_EQ(client.Get("/nothing")->status, 404);
}

}  // namespace

// A full disk (here a file size limit) while monitoring: an output_error
// event, the frames go on being analysed and counted, the run goes on until
// SIGTERM. SIGHUP after the log was moved away: a new log with its header
// and the rows from there on, the run goes on.
TEST(LiveOutputs, SurviveAFullDiskAndSighup) {
    {
        TempDir dir;
        Feed feed;
        Lumaqc lumaqc({feed.path(), "--quiet", "--metrics", "127.0.0.1:0", "--exec-on-event",
                       "cat >> hook.jsonl", "--threads", "1"},
                      dir.path(), "/dev/null", 16 * 1024);
        feed.started();
        const int port = metricsPort(lumaqc);
        ASSERT_GT(port, 0) << lumaqc.err();
        ASSERT_TRUE(feed.send(300));
        ASSERT_TRUE(waitFor(20, [&] {
            return sampleOf(scrapeOnce(port), "lumaqc_frames_total") == 300;
        })) << lumaqc.err();
        const std::string metrics = scrapeOnce(port);
        EXPECT_EQ(sampleOf(metrics, "lumaqc_output_errors_total"), 1) << metrics;
        EXPECT_EQ(
            sampleOf(metrics, "lumaqc_event_active{type=\"output_error\",severity=\"error\"}"), 1);
        EXPECT_LE(readFile(dir.file("metricsResultsCSV.csv")).size(), 16u * 1024);
        EXPECT_TRUE(waitFor(5, [&] {
            for (const Json& record : jsonLines(dir.file("hook.jsonl"))) {
                if (record["type"] == "output_error" && record["record"] == "open") return true;
            }
            return false;
        }));
        EXPECT_NE(lumaqc.err().find("lumaqc: the log: Cannot write the log file"),
                  std::string::npos)
            << lumaqc.err();
        EXPECT_TRUE(lumaqc.running());
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    }
    {
        TempDir dir;
        Feed feed;
        Lumaqc lumaqc({feed.path(), "--quiet", "--threads", "1", "--json", "doc.json"}, dir.path());
        feed.started();
        const std::string log = dir.file("metricsResultsCSV.csv");
        ASSERT_TRUE(feed.send(40));
        ASSERT_TRUE(waitFor(20, [&] { return logRows(log) == 40; })) << lumaqc.err();
        ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
        lumaqc.signal(SIGHUP);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(feed.send(30));
        ASSERT_TRUE(waitFor(20, [&] { return logRows(log) == 30; })) << lumaqc.err();
        // The documents were rewritten on the SIGHUP too.
        EXPECT_TRUE(waitFor(5, [&] { return fileExists(dir.file("doc.json")); }));
        EXPECT_TRUE(lumaqc.running());
        EXPECT_EQ(logRows(log + ".1"), 40u);
        EXPECT_EQ(splitLines(readFile(log)).front(), splitLines(readFile(log + ".1")).front());
        feed.close();
        EXPECT_EQ(lumaqc.wait(), 0) << lumaqc.err();
    }
}

// An event command that never reads its input and never ends, given an
// event whose record is over 64 KiB (a profile's long EBU item name): the
// run still ends within the command's grace, and the line handed on was
// cut to its bound.
TEST(LiveOutputs, AHangingEventCommandCannotHoldTheRun) {
    TempDir dir;
    writeFile(dir.file("long.toml"),
              "[[rule]]\nid = \"signal_loss\"\nevent = \"signal_loss\"\nseverity = \"error\"\n"
              "ebu_item = { name = \"" +
                  std::string(100000, 'x') + "\" }\n");
    Feed feed;
    Lumaqc lumaqc({feed.path(), "--quiet", "--no-log", "--stall-timeout", "0.3", "--profile",
                   "long.toml", "--events", "events.jsonl", "--exec-on-event", "sleep 1000"},
                  dir.path());
    feed.started();
    ASSERT_TRUE(feed.send(3));
    // A loss opens, however late a busy machine starts the run (its record
    // is long: only a whole line counts).
    ASSERT_TRUE(waitFor(30, [&] {
        const std::string events = readFile(dir.file("events.jsonl"));
        const size_t end = events.find('\n');
        return end != std::string::npos &&
               Json::parse(events.substr(0, end))["type"] == "signal_loss";
    })) << lumaqc.err();
    feed.close();
    const auto ended = Clock::now();
    // The loss closes with the input; the command gets 5 s, then SIGTERM
    // and 2 s later SIGKILL.
    EXPECT_TRUE(waitFor(30, [&] { return !lumaqc.running(); }));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - ended).count(), 20.0);
    lumaqc.wait();
    EXPECT_NE(lumaqc.err().find("the command for a signal_loss event was ended"), std::string::npos)
        << lumaqc.err();
}

// A pipe that claims 1000 frames a second and gives about 25: the analysis
// falls behind its timeline, an overload, still open when the pipe ends; the
// event command is handed its close too.
TEST(LiveOutputs, AnOverloadOpenAtTheEndClosesForTheCommand) {
    TempDir dir;
    Feed feed("1000:1");
    Lumaqc lumaqc({feed.path(), "--quiet", "--no-log", "--exec-on-event", "cat >> hook.jsonl"},
                  dir.path());
    feed.started();
    const auto overload = [&](const char* change) {
        const std::vector<Json> heard = jsonLines(dir.file("hook.jsonl"));
        return std::count_if(heard.begin(), heard.end(), [&](const Json& record) {
            return record["record"] == change && record["type"] == "overload";
        });
    };
    ASSERT_TRUE(waitFor(60, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !feed.send(1) || overload("open") == 1;
    })) << lumaqc.err();
    feed.close();
    EXPECT_EQ(lumaqc.wait(), 0) << lumaqc.err();
    EXPECT_EQ(overload("open"), 1);
    EXPECT_EQ(overload("close"), 1) << readFile(dir.file("hook.jsonl"));
}

// A Y4M pipe that claims a million frames a second: the window is bounded
// in frames too, so the documents hold 10 s at 120 frames a second at most,
// the last ones. (That memory stays flat with the window: LiveSlow.)
TEST(LiveWindow, BoundedInFramesWhateverTheRate) {
    TempDir dir;
    Feed feed("1000000:1");
    Lumaqc lumaqc(
        {feed.path(), "--window", "10s", "--flush-interval", "100ms", "--json", "w.json",
         "--report", "w.html", "--no-log", "--quiet", "--threads", "1", "--profile", "default"},
        dir.path());
    feed.started();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(feed.send(300));
    feed.close();
    lumaqc.wait();
    const Json doc = Json::parse(readFile(dir.file("w.json")));
    EXPECT_EQ(doc["frames_analysed"], 1200);
    EXPECT_EQ(doc["frames"][0]["frame"], 3000 - 1200);
    EXPECT_EQ(doc["complete"], true);
    EXPECT_EQ(doc["live"], Json::parse(R"({"window_seconds": 10.0, "running": false})"));
    EXPECT_NE(readFile(dir.file("w.html")).find("1200 frames analysed"), std::string::npos);
}

// A day of frames under the default profile (its whole-file statistic rates
// the window) with a rolling window: the peak memory of 600000 frames is
// within 10 % of that of 10000. Tiny pictures, so that it runs fast.
TEST(LiveSlow, MemoryFlatUnderTheDefaultProfile) {
    TempDir dir;
    long peak[2] = {0, 0};
    const int counts[2] = {10000, 600000};
    for (int run = 0; run < 2; ++run) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t writer = fork();
        if (writer == 0) {
            close(fds[0]);
            std::string block = "YUV4MPEG2 W16 H16 F25:1 C420jpeg\n";
            const std::string frames[2] = {"FRAME\n" + rawFrame(texturedLuma(16, 16, 1), 16, 16),
                                           "FRAME\n" + rawFrame(texturedLuma(16, 16, 2), 16, 16)};
            for (int i = 0; i < counts[run]; ++i) {
                block += frames[i % 2];
                if (block.size() > 60000 || i + 1 == counts[run]) {
                    if (write(fds[1], block.data(), block.size()) < 0) _exit(1);
                    block.clear();
                }
            }
            _exit(0);
        }
        close(fds[1]);
        Lumaqc lumaqc({"/dev/fd/" + std::to_string(fds[0]), "--window", "10s", "--json", "w.json",
                       "--report", "w.html", "--no-log", "--quiet", "--threads", "1", "--profile",
                       "default", "--events", "events.jsonl"},
                      dir.path());
        close(fds[0]);
        lumaqc.wait(&peak[run]);
        waitpid(writer, nullptr, 0);
        const Json doc = Json::parse(readFile(dir.file("w.json")));
        EXPECT_EQ(doc["frames_analysed"], 250);
    }
#ifndef LUMAQC_SANITIZED  // the sanitizers keep freed memory for a while
    if (programWrapper().empty()) {
        EXPECT_LT(peak[1], peak[0] * 1.10) << peak[0] << " KiB";
    }
#endif
    std::printf("[ memory ] peak %ld KiB at %d frames, %ld KiB at %d frames\n", peak[0], counts[0],
                peak[1], counts[1]);
}

// What ships for operators: the Prometheus alert rules pass promtool's
// check and their own unit tests, and the rules and the Grafana dashboard
// only name series a live run serves (every one exists from the start),
// which scrapes get even while slow clients hold connections.
TEST(LiveOps, AlertRulesAndDashboardNameServedSeries) {
    const std::string ops = std::string(LUMAQC_SOURCE_DIR) + "/ops";
    const std::string promtool = findInPath("promtool");
    if (!promtool.empty()) {
        const RunResult check =
            runProgram(promtool, {"check", "rules", "lumaqc-alerts.yml"}, ops + "/prometheus");
        EXPECT_EQ(check.status, 0) << check.out << check.err;
        const RunResult test =
            runProgram(promtool, {"test", "rules", "lumaqc-alerts.test.yml"}, ops + "/prometheus");
        EXPECT_EQ(test.status, 0) << test.out << test.err;
    } else if (std::getenv("CI") != nullptr) {
        ADD_FAILURE() << "promtool not found (Debian package prometheus)";
    }

    TempDir dir;
    Feed feed;
    Lumaqc lumaqc({feed.path(), "--quiet", "--no-log", "--metrics", "127.0.0.1:0", "--channel",
                   "studio1", "--profile", "default"},
                  dir.path());
    feed.started();
    const int port = metricsPort(lumaqc);
    ASSERT_GT(port, 0) << lumaqc.err();
    ASSERT_TRUE(feed.send(3));
    ASSERT_TRUE(waitFor(20, [&] {
        return sampleOf(scrapeOnce(port), "lumaqc_frames_total{channel=\"studio1\"}") == 3;
    }));
    const std::string served = scrapeOnce(port);
    expectScrapesAnsweredUnderSlowClients(port, "lumaqc_up{channel=\"studio1\"}");
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();

    const auto namesIn = [](const std::string& text) {
        std::set<std::string> names;
        const std::regex name(R"(\b((lumaqc|process)_[a-z_0-9]+))");
        for (auto at = std::sregex_iterator(text.begin(), text.end(), name);
             at != std::sregex_iterator(); ++at) {
            names.insert((*at)[1]);
        }
        return names;
    };
    const Json dashboard = Json::parse(readFile(ops + "/grafana/lumaqc-dashboard.json"));
    std::string expressions;
    ASSERT_FALSE(dashboard["panels"].empty());
    for (const Json& panel : dashboard["panels"]) {
        ASSERT_FALSE(panel["targets"].empty()) << panel["title"];
        for (const Json& target : panel["targets"])
            expressions += target["expr"].get<std::string>() + "\n";
    }
    expressions += dashboard["templating"]["list"][1]["query"].get<std::string>();
    const std::string rules = readFile(ops + "/prometheus/lumaqc-alerts.yml");
    std::set<std::string> named = namesIn(expressions);
    const std::set<std::string> inRules = namesIn(rules);
    named.insert(inRules.begin(), inRules.end());
    EXPECT_GT(named.size(), 20u);
    for (const std::string& name : named) {
        EXPECT_NE(served.find("# TYPE " + name + " "), std::string::npos) << name;
    }
    // The event types the rules watch are served, with the channel label.
    for (const char* type : {"signal_loss", "black", "freeze", "overload", "output_error"}) {
        EXPECT_NE(served.find("lumaqc_event_active{channel=\"studio1\",type=\"" +
                              std::string(type) + "\""),
                  std::string::npos)
            << type;
    }
}
