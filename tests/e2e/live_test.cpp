// Live monitoring end to end, all on 127.0.0.1: ffmpeg streams MPEG-TS over
// UDP with a pause and lumaqc reports the loss as it happens, serves its
// metrics during the run (a second run on its port cannot start) and keeps
// its rows when stopped; the event command gets a payload that would be
// dangerous in a shell; memory stays flat with a rolling window; the log
// rotates.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <utility>

#include "e2e_support.h"

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// lumaqc (under LUMAQC_E2E_WRAPPER, if set) running in `cwd` with its output
// in files there, standard input from `input`.
class Lumaqc {
  public:
    Lumaqc(const std::vector<std::string>& args, const std::string& cwd,
           const std::string& input = "/dev/null")
        : cwd_(cwd) {
        std::vector<std::string> command = programWrapper();
        command.push_back(LUMAQC_BIN);
        command.insert(command.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) != 0) return;
        const int in = open(input.c_str(), O_RDONLY);
        const int out = open((cwd + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((cwd + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~Lumaqc() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) wait();
    }
    void signal(int signo) const { kill(pid_, signo); }
    // The exit status (-1 when killed), and the peak resident memory in KiB.
    int wait(long* maxRssKb = nullptr) {
        int status = 0;
        rusage usage{};
        wait4(std::exchange(pid_, -1), &status, 0, &usage);
        if (maxRssKb != nullptr) *maxRssKb = usage.ru_maxrss;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string err() const { return readFile(cwd_ + "/stderr"); }

  private:
    std::string cwd_;
    pid_t pid_ = -1;
};

bool waitFor(double seconds, const std::function<bool()>& ready) {
    for (const auto end = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (ready()) return true;
    }
    return ready();
}

// A socket of `type` bound to a free port of 127.0.0.1; the port in `port`.
int boundSocket(int type, int& port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::vector<Json> jsonLines(const std::string& path) {
    std::vector<Json> lines;
    for (const std::string& line : splitLines(readFile(path))) {
        if (!line.empty()) lines.push_back(Json::parse(line));
    }
    return lines;
}

// The value of the sample written exactly as `sample` ("name{labels}").
double sampleOf(const std::string& text, const std::string& sample) {
    const size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + sample.size() + 2));
}

size_t logRows(const std::string& path) {
    const size_t lines = splitLines(readFile(path)).size();
    return lines > 0 ? lines - 1 : 0;
}

class Live : public ::testing::Test {
  protected:
    void SetUp() override {
        ffmpeg_ = findInPath("ffmpeg");
        if (ffmpeg_.empty()) GTEST_SKIP() << "ffmpeg not found";
        if (runLumaqc({"--version"}, dir_.path()).out.find("decoder support: yes") ==
            std::string::npos) {
            GTEST_SKIP() << "no decoder support";
        }
    }
    TempDir dir_;
    std::string ffmpeg_;
};

}  // namespace

TEST_F(Live, UdpStreamWithAPause) {
    int udpPort = 0;
    close(boundSocket(SOCK_DGRAM, udpPort));
    const std::string udp = "udp://127.0.0.1:" + std::to_string(udpPort);
    Lumaqc lumaqc({udp, "--threads", "2", "--quiet", "--metrics", "127.0.0.1:0", "--profile",
                   "default", "--events", "events.jsonl", "--exec-on-event", "cat >> exec.jsonl"},
                  dir_.path());
    int port = 0;
    ASSERT_TRUE(waitFor(20, [&] {
        const std::string err = lumaqc.err();
        const size_t at = err.find("metrics at http://127.0.0.1:");
        if (at != std::string::npos) port = std::stoi(err.substr(at + 28));
        return port > 0;
    })) << lumaqc.err();
    httplib::Client client("127.0.0.1", port);
    const auto scrape = [&client] {
        const auto response = client.Get("/metrics");
        return response && response->status == 200 ? response->body : std::string();
    };
    EXPECT_EQ(sampleOf(scrape(), "lumaqc_up"), 0);  // no picture yet
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
            words("-v error -re -f lavfi -i testsrc2=size=160x90:rate=25 -t " + seconds +
                  (black ? " -vf drawbox=color=black:t=fill:enable='between(t,1,2)'" : "") +
                  " -c:v mpeg2video -g 5 -bf 0 -f mpegts " + udp + "?pkt_size=1316"),
            dir_.path());
        ASSERT_EQ(r.status, 0) << r.err;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the port bound
    send("3", true);
    const auto stop = Clock::now();
    // The black stretch (1 s) opened and closed a warning; the loss is an
    // error of the profile, open within 2.5 s of the stop.
    const std::string events = dir_.file("events.jsonl");
    ASSERT_TRUE(waitFor(4, [&] { return jsonLines(events).size() >= 3; }));
    const auto opened = Clock::now();
    EXPECT_LT(std::chrono::duration<double>(opened - stop).count(), 2.5);
    // During the loss: every frame that came is out (two threads), and the
    // metrics say so.
    const std::string lost = scrape();
    EXPECT_EQ(sampleOf(lost, "lumaqc_up"), 0) << lost;
    EXPECT_EQ(sampleOf(lost, "lumaqc_stalls_total"), 1);
    EXPECT_EQ(sampleOf(lost, "lumaqc_event_active{type=\"signal_loss\"}"), 1);
    const double framesBefore = sampleOf(lost, "lumaqc_frames_total");
    EXPECT_GE(framesBefore, 60);
    EXPECT_EQ(framesBefore, logRows(dir_.file("metricsResultsCSV.csv")));

    std::this_thread::sleep_until(stop + std::chrono::seconds(5));
    const auto resume = Clock::now();
    send("2", false);
    ASSERT_TRUE(waitFor(5, [&] { return jsonLines(events).size() >= 4; }));
    const auto closed = Clock::now();
    const std::string back = scrape();
    EXPECT_EQ(sampleOf(back, "lumaqc_up"), 1);
    EXPECT_GT(sampleOf(back, "lumaqc_frames_total"), framesBefore + 20);
    EXPECT_EQ(sampleOf(back, "lumaqc_events_total{type=\"signal_loss\",severity=\"error\"}"), 1);
    EXPECT_EQ(sampleOf(back, "lumaqc_events_total{type=\"black\",severity=\"warning\"}"), 1);
    EXPECT_EQ(sampleOf(back, "lumaqc_events_total{type=\"freeze\",severity=\"error\"}"), 0);
    EXPECT_EQ(sampleOf(back, "lumaqc_event_active{type=\"signal_loss\"}"), 0);

    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM);
    const size_t rows = logRows(dir_.file("metricsResultsCSV.csv"));
    EXPECT_EQ(lumaqc.err().substr(lumaqc.err().rfind("lumaqc: stopped")),
              "lumaqc: stopped by SIGTERM after " + std::to_string(rows) + " frames\n");
    // In order: black open and close, signal_loss open and close, the
    // verdict; the event command got every change as it happened.
    const std::vector<Json> seen = jsonLines(events);
    ASSERT_EQ(seen.size(), 5u);
    const char* const order[][2] = {
        {"open", "black"}, {"close", "black"}, {"open", "signal_loss"}, {"close", "signal_loss"}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i]["record"], order[i][0]) << i;
        EXPECT_EQ(seen[i]["type"], order[i][1]) << i;
    }
    EXPECT_EQ(seen[4]["record"], "verdict");
    EXPECT_EQ(seen[4]["result"], "fail");
    EXPECT_EQ(jsonLines(dir_.file("exec.jsonl")),
              std::vector<Json>(seen.begin(), seen.begin() + 4));
    EXPECT_NEAR(seen[1]["first_frame"].get<double>(), 25, 2);  // black from 1 s to 2 s
    EXPECT_NEAR(seen[1]["last_frame"].get<double>(), 49, 2);
    EXPECT_EQ(seen[3]["severity"], "error");
    EXPECT_EQ(seen[3]["first_frame"], framesBefore);
    EXPECT_EQ(seen[3]["frames"], 0);
    // The loss lasted from the last picture before the pause to the first
    // after it. Bounded by what the test saw, not by when things should
    // happen on an idle machine (a busy one starts the second sender late):
    // the last picture came at most the stall timeout (2 s) before the loss
    // was seen to open, and at most a second before the first sender ended;
    // the first picture after came once the second sender started and
    // before the loss was seen to close.
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    const double lasted = seen[3]["duration_seconds"].get<double>();
    EXPECT_GE(lasted, seconds(resume - opened) + 2.0 - 0.5);
    EXPECT_LE(lasted, seconds(closed - stop) + 1.0 + 0.5);
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

// A writer process that sends `count` frames of 64 x 36 Y4M at 25 fps into a
// pipe; returns the path of the pipe's reading end.
std::string y4mFeed(int count, pid_t& writer) {
    int fds[2];
    if (pipe(fds) != 0) return "";
    if ((writer = fork()) == 0) {
        std::string frames = "YUV4MPEG2 W64 H36 F25:1 C420jpeg\n";
        for (int i = 0; i < count; ++i) {
            frames += "FRAME\n" + rawFrame(texturedLuma(64, 36, i % 2), 64, 36);
            if (write(fds[1], frames.data(), frames.size()) < 0) _exit(1);
            frames.clear();
        }
        _exit(0);
    }
    close(fds[1]);
    return "/dev/fd/" + std::to_string(fds[0]);
}

// A live run with a rolling window: the peak memory of 20000 frames is that
// of 2000, and the documents cover the last 10 s (250 frames at 25 fps).
TEST(LiveWindow, KeepsMemoryFlat) {
    TempDir dir;
    long peak[2] = {0, 0};
    const int counts[2] = {2000, 20000};
    for (int run = 0; run < 2; ++run) {
        pid_t writer = -1;
        const std::string feed = y4mFeed(counts[run], writer);
        Lumaqc lumaqc({"-", "--window", "10s", "--flush-interval", "100ms", "--json", "w.json",
                       "--report", "w.html", "--no-log", "--quiet", "--threads", "1"},
                      dir.path(), feed);
        close(std::stoi(feed.substr(8)));
        ASSERT_EQ(lumaqc.wait(&peak[run]), 0) << lumaqc.err();
        waitpid(writer, nullptr, 0);
        const Json doc = Json::parse(readFile(dir.file("w.json")));
        EXPECT_EQ(doc["frames_analysed"], 250);
        EXPECT_EQ(doc["frames"][0]["frame"], counts[run] - 250);
        EXPECT_EQ(doc["complete"], true);
        EXPECT_EQ(doc["live"], Json::parse(R"({"window_seconds": 10.0, "running": false})"));
        EXPECT_NE(readFile(dir.file("w.html")).find("250 frames analysed"), std::string::npos);
    }
#ifndef LUMAQC_SANITIZED  // the sanitizers keep freed memory for a while
    if (programWrapper().empty()) {
        EXPECT_LT(peak[1], peak[0] * 1.10) << peak[0] << " KiB";
    }
#endif
}

// --log-rotate: each file at most the size (header included) with its
// header; the kept files, oldest first, end with the rows of the run.
TEST(LiveLog, RotatesAndKeepsItsFiles) {
    TempDir dir;
    std::string clip;
    for (uint32_t i = 0; i < 40; ++i) clip += rawFrame(texturedLuma(64, 48, i), 64, 48);
    writeFile(dir.file("clip.yuv"), clip);
    ASSERT_EQ(runLumaqc({"clip.yuv", "64", "48", "--quiet"}, dir.path()).status, 0);
    const std::vector<std::string> whole = splitLines(readFile(dir.file("metricsResultsCSV.csv")));
    const RunResult r = runLumaqc(
        {"clip.yuv", "64", "48", "--quiet", "--log-rotate", "1K", "--log-keep", "2"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv.3")));
    std::vector<std::string> kept;
    for (const char* suffix : {".2", ".1", ""}) {
        const std::string text = readFile(dir.file(std::string("metricsResultsCSV.csv") + suffix));
        EXPECT_LE(text.size(), 1024u) << suffix;
        const std::vector<std::string> lines = splitLines(text);
        ASSERT_GT(lines.size(), 1u) << suffix;
        EXPECT_EQ(lines[0], whole[0]) << suffix;
        kept.insert(kept.end(), lines.begin() + 1, lines.end());
    }
    EXPECT_EQ(kept, std::vector<std::string>(whole.end() - static_cast<ptrdiff_t>(kept.size()),
                                             whole.end()));
}
