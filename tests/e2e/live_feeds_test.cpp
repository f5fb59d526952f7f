// Live feeds as an operator meets them, with ffmpeg as the source on
// 127.0.0.1: a feed dead at the start, a source that comes back with another
// picture size (UDP, SRT, HTTP and RTMP, the last three with ffmpeg
// listening), a size or codec change inside the stream, HLS served by a
// local web server (a stall, and a finished playlist with a missing
// segment), a UDP feed joined between distant key pictures, and a UDP feed
// that loses 1 % of its datagrams. The run never ends on any of
// them; only SIGTERM ends it.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>

#include "live_support.h"

using namespace live_support;

namespace {

// What ffmpeg writes to send MPEG-TS over UDP to `port`.
std::string udpOutput(int port) {
    return "-f mpegts udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316";
}

// Sends the bytes of the file at `path` to `port` of 127.0.0.1 in datagrams
// of 1316 bytes, `bitsPerSecond` of them (a transport stream of that
// -muxrate arrives as it would from its encoder).
void sendPaced(const std::string& path, int port, double bitsPerSecond) {
    const std::string bytes = readFile(path);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const auto start = Clock::now();
    for (size_t at = 0; at < bytes.size(); at += 1316) {
        std::this_thread::sleep_until(
            start + std::chrono::duration<double>(static_cast<double>(at) * 8.0 / bitsPerSecond));
        sendto(fd, bytes.data() + at, std::min<size_t>(1316, bytes.size() - at), 0,
               reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    close(fd);
}

class LiveFeeds : public FfmpegTest {
  protected:
    // ffmpeg's arguments that make `seconds` of a test picture of `size`
    // (and of the inputs `more`) and write it with the options and URL of
    // `output`.
    std::vector<std::string> source(const std::string& size, const std::string& seconds,
                                    const std::string& output,
                                    const std::string& codec = "mpeg2video",
                                    const std::string& more = "") const {
        return fields("-v error -re -f lavfi -i testsrc2=size=" + size + ":rate=25 " + more +
                      " -t " + seconds + " -c:v " + codec + " -g 5 -bf 0 " + output);
    }
    // The records the event command was handed so far.
    std::vector<Json> hooked() const { return jsonLines(dir_.file("hook.jsonl")); }
    size_t count(const std::string& change, const std::string& type) const {
        size_t n = 0;
        for (const Json& record : hooked()) {
            n += record["record"] == change && record.value("type", "") == type ? 1 : 0;
        }
        return n;
    }
};

// The long ones (ctest label slow).
class LiveSlowFeeds : public LiveFeeds {};

struct Protocol {
    const char* name;
    // The URL lumaqc reads and the output ffmpeg writes, for a port.
    std::string (*input)(int port);
    std::string (*output)(int port);
    int socketType;
    const char* codec;
};

const Protocol kProtocols[] = {
    {"udp", [](int p) { return "udp://127.0.0.1:" + std::to_string(p); },
     [](int p) { return udpOutput(p); }, SOCK_DGRAM, "mpeg2video"},
    {"srt", [](int p) { return "srt://127.0.0.1:" + std::to_string(p) + "?mode=caller"; },
     [](int p) { return "-f mpegts srt://127.0.0.1:" + std::to_string(p) + "?mode=listener"; },
     SOCK_DGRAM, "mpeg2video"},
    {"http", [](int p) { return "http://127.0.0.1:" + std::to_string(p) + "/live.ts"; },
     [](int p) { return "-f mpegts -listen 1 http://127.0.0.1:" + std::to_string(p) + "/live.ts"; },
     SOCK_STREAM, "mpeg2video"},
    {"rtmp", [](int p) { return "rtmp://127.0.0.1:" + std::to_string(p) + "/live/s"; },
     [](int p) { return "-f flv -listen 1 rtmp://127.0.0.1:" + std::to_string(p) + "/live/s"; },
     SOCK_STREAM, "flv1"},
};

// Per protocol: the feed is dead at the start (a signal loss after the stall
// timeout), comes (the loss closes), stops (a loss), and comes back at
// another picture size (a format change; the run goes on). Signal back is
// measured from the start of the source; the bound is wide (a loaded
// machine starts ffmpeg slowly), the times are printed.
TEST_F(LiveSlowFeeds, SurviveDeadStartsGapsAndNewSizesOnEveryProtocol) {
    for (const Protocol& protocol : kProtocols) {
        SCOPED_TRACE(protocol.name);
        // A fresh start: the event records of the protocol before are gone.
        std::remove(dir_.file("hook.jsonl").c_str());
        const int port = freePort(protocol.socketType);
        const auto started = Clock::now();
        Lumaqc lumaqc({protocol.input(port), "--stall-timeout", "1", "--quiet", "--no-log",
                       "--threads", "1", "--metrics", "127.0.0.1:0", "--channel", protocol.name,
                       "--exec-on-event", "cat >> hook.jsonl"},
                      dir_.path());
        const int metrics = metricsPort(lumaqc);
        ASSERT_GT(metrics, 0) << lumaqc.err();
        httplib::Client client("127.0.0.1", metrics);
        const auto scrape = [&client] {
            const auto response = client.Get("/metrics");
            return response && response->status == 200 ? response->body : std::string();
        };
        const std::string receiving =
            std::string("lumaqc_receiving{channel=\"") + protocol.name + "\"}";

        // Dead at the start: the loss opens after the stall timeout.
        ASSERT_TRUE(waitFor(10, [&] { return count("open", "signal_loss") == 1; })) << lumaqc.err();
        const double deadAfter = std::chrono::duration<double>(Clock::now() - started).count();
        EXPECT_LT(deadAfter, 1.0 + 4.0);

        const auto send = [&](const std::string& size, const char* seconds) {
            const auto args = source(size, seconds, protocol.output(port), protocol.codec);
            return std::make_unique<Background>(ffmpeg_, args, dir_.path(),
                                                dir_.file("ffmpeg.log"));
        };
        auto first = send("160x90", "2");
        const auto sourceStart = Clock::now();
        ASSERT_TRUE(waitFor(15, [&] { return sampleOf(scrape(), receiving) == 1; }))
            << lumaqc.err() << readFile(dir_.file("ffmpeg.log")) << scrape();
        const double backAfter = std::chrono::duration<double>(Clock::now() - sourceStart).count();
        EXPECT_LT(backAfter, 8.0);
        EXPECT_TRUE(waitFor(5, [&] { return count("close", "signal_loss") == 1; }));
        first->wait();

        // Gone, then back at another size.
        ASSERT_TRUE(waitFor(10, [&] { return count("open", "signal_loss") == 2; })) << lumaqc.err();
        auto second = send("192x108", "2");
        ASSERT_TRUE(waitFor(15, [&] { return count("open", "format_change") == 1; }))
            << lumaqc.err() << readFile(dir_.file("ffmpeg.log"));
        EXPECT_TRUE(waitFor(5, [&] { return sampleOf(scrape(), receiving) == 1; }));
        second->wait();
        const std::string last = scrape();
        EXPECT_EQ(sampleOf(last, std::string("lumaqc_format_changes_total{channel=\"") +
                                     protocol.name + "\"}"),
                  1);
        EXPECT_GE(
            sampleOf(last, std::string("lumaqc_stalls_total{channel=\"") + protocol.name + "\"}"),
            2);
        EXPECT_TRUE(lumaqc.running());
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
        std::printf(
            "[ %s ] dead-at-start loss after %.2f s, pictures back %.2f s after the "
            "source started\n",
            protocol.name, deadAfter, backAfter);
        for (const Json& record : hooked()) {
            if (record["type"] == "format_change") {
                const std::string message = record["message"];
                EXPECT_NE(message.find("from 160 x 90 yuv420p "), std::string::npos) << message;
                EXPECT_NE(message.find(" to 192 x 108 yuv420p "), std::string::npos) << message;
            }
        }
    }
}

// A size or codec change inside a UDP stream, or a stream replaced by one
// with other PIDs (a second sender right after the first, as MPEG-TS
// segments joined end to end; or one sender whose sound goes on through
// the change): the pictures are scaled, the decoder follows
// the new codec (also one the old codec's parser swallows whole), the new
// PIDs are found, a format_change event when the pictures changed, rows go
// on.
TEST_F(LiveFeeds, SizeOrCodecChangeInsideTheStream) {
    const std::string newPids = " -mpegts_start_pid 0x200 -mpegts_pmt_start_pid 0x1100";
    // Both senders with sound: the audio's timestamps start again with the
    // second, which is not a pause of the video.
    const std::string audio = "-f lavfi -i sine=sample_rate=48000";
    const std::string audioOut = " -c:a mp2 -b:a 384k -max_interleave_delta 100000";
    const struct {
        const char* sizes[2];
        const char* codecs[2];
        std::string second;  // the second sender's output options
        const char* change;  // nullptr: the pictures stay the same
        bool sound = false;
        // One sender of both parts, its sound going on through the change
        // (the second part's timestamps follow the first's).
        bool joined = false;
    } kChanges[] = {
        {{"160x90", "320x180"},
         {"mpeg2video", "mpeg2video"},
         "",
         "changed from 160 x 90 yuv420p mpeg2video to 320 x 180"},
        {{"160x90", "160x90"},
         {"libx264", "mpeg2video"},
         "",
         "changed from 160 x 90 yuv420p h264 to 160 x 90 yuv420p mpeg2video"},
        {{"160x90", "160x90"},
         {"mpeg2video", "libx265"},
         "",
         "changed from 160 x 90 yuv420p mpeg2video to 160 x 90 yuv420p hevc"},
        {{"160x90", "160x90"},
         {"libx265", "libx264"},
         "",
         "changed from 160 x 90 yuv420p hevc to 160 x 90 yuv420p h264"},
        {{"160x90", "160x90"}, {"mpeg2video", "mpeg2video"}, newPids, nullptr},
        {{"160x90", "160x90"},
         {"mpeg2video", "libx265"},
         "",
         "changed from 160 x 90 yuv420p mpeg2video to 160 x 90 yuv420p hevc",
         true},
        {{"160x90", "160x90"},
         {"libx265", "libx264"},
         "",
         "changed from 160 x 90 yuv420p hevc to 160 x 90 yuv420p h264",
         true,
         true},
    };
    for (const auto& row : kChanges) {
        SCOPED_TRACE(std::string(row.codecs[0]) + " " + row.codecs[1] + row.second);
        std::remove(dir_.file("hook.jsonl").c_str());
        std::remove(dir_.file("log.csv").c_str());
        const int port = freePort(SOCK_DGRAM);
        Lumaqc lumaqc({"udp://127.0.0.1:" + std::to_string(port), "--quiet", "--log", "log.csv",
                       "--stall-timeout", "15", "--profile", "default", "--exec-on-event",
                       "cat >> hook.jsonl"},
                      dir_.path());
        ASSERT_TRUE(waitFor(30, [&] { return udpBound(port); })) << lumaqc.err();
        for (int i = 0; row.joined && i < 2; ++i) {
            const std::string part = "part" + std::to_string(i) + ".ts";
            const auto args =
                fields("-v error -y -f lavfi -i testsrc2=size=" + std::string(row.sizes[i]) +
                       ":rate=25 " + audio + " -t 2 -c:v " + row.codecs[i] +
                       " -g 5 -bf 0 -c:a mp2 -b:a 128k -muxrate 1M" +
                       (i == 1 ? " -output_ts_offset 2" : "") + " -f mpegts " + part);
            ASSERT_EQ(runProgram(ffmpeg_, args, dir_.path()).status, 0);
        }
        if (row.joined) {
            writeFile(dir_.file("joined.ts"),
                      readFile(dir_.file("part0.ts")) + readFile(dir_.file("part1.ts")));
            sendPaced(dir_.file("joined.ts"), port, 1e6);
        }
        for (int i = 0; !row.joined && i < 2; ++i) {
            const auto args = source(row.sizes[i], "2",
                                     (i == 1 ? row.second + " " : "") +
                                         (row.sound ? audioOut + " " : "") + udpOutput(port),
                                     row.codecs[i], row.sound ? audio : "");
            ASSERT_EQ(runProgram(ffmpeg_, args, dir_.path()).status, 0);
        }
        // Rows go on after the change (50 frames each): followed at once, not
        // after a stall. The stall timeout is wide so that a slow start of the
        // second sender on a busy machine is not a loss.
        EXPECT_TRUE(waitFor(30, [&] {
            return logRows(dir_.file("log.csv")) >= (row.joined ? 65u : 60u);
        })) << lumaqc.err();
        if (row.change != nullptr) {
            EXPECT_TRUE(waitFor(30, [&] { return count("open", "format_change") == 1; }))
                << lumaqc.err();
        }
        EXPECT_EQ(count("open", "signal_loss"), 0u);
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
        const std::string err = lumaqc.err();
        if (row.change != nullptr) {
            EXPECT_NE(err.find(row.change), std::string::npos) << err;
        } else {
            EXPECT_EQ(count("open", "format_change"), 0u);
        }
    }
}

// HLS from a local web server: a live playlist that stalls is a signal loss
// that lasts (its last segments are not read again as if the pictures had
// come back), and the run sees the pictures of a packager started again; a
// finished playlist with a missing segment ends as a file does, its frames
// counted once, the missing segment a decode_error event.
TEST_F(LiveFeeds, HlsStallsAndMissingSegments) {
    const std::string python = findInPath("python3");
    if (python.empty()) GTEST_SKIP() << "python3 not found";
    const int port = freePort(SOCK_STREAM);
    // The web server, started again after an outage on the same port.
    const auto serve = [&] {
        auto server = std::make_unique<Background>(
            "/usr/bin/python3",
            std::vector<std::string>{"-m", "http.server", std::to_string(port), "--bind",
                                     "127.0.0.1"},
            dir_.path());
        EXPECT_TRUE(waitFor(10, [&] {
            httplib::Client probe("127.0.0.1", port);
            return static_cast<bool>(probe.Get("/"));
        }));
        return server;
    };
    auto server = serve();
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";

    // A finished playlist of four 1 s segments, the third one removed.
    {
        std::vector<std::string> args = fields(
            "-v error -f lavfi -i testsrc2=size=160x90:rate=25 -t 4 -c:v mpeg2video -g 5 "
            "-bf 0 -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename "
            "vod%d.ts vod.m3u8");
        ASSERT_EQ(runProgram(ffmpeg_, args, dir_.path()).status, 0);
        ASSERT_EQ(std::remove(dir_.file("vod2.ts").c_str()), 0);
        const RunResult r = runLumaqc({base + "vod.m3u8", "--quiet", "--profile", "default",
                                       "--events", "vod.jsonl", "--threads", "1"},
                                      dir_.path());
        EXPECT_EQ(r.status, 1) << r.err;  // damaged input fails the verdict
        const size_t rows = logRows(dir_.file("metricsResultsCSV.csv"));
        EXPECT_EQ(rows, 75u) << r.err;  // three segments of 25 frames, once each
        bool missing = false;
        for (const Json& record : jsonLines(dir_.file("vod.jsonl"))) {
            if (record.value("type", "") == "decode_error" && record["record"] == "close") {
                missing = record["message"].get<std::string>().find(
                              "a segment of the playlist is missing") != std::string::npos;
            }
        }
        EXPECT_TRUE(missing) << readFile(dir_.file("vod.jsonl"));
    }

    // A live playlist (and a master playlist naming it): 1 s segments
    // written as they come.
    const auto live = [&](const char* seconds) {
        return std::make_unique<Background>(
            ffmpeg_,
            fields("-v error -re -f lavfi -i testsrc2=size=160x90:rate=25 -t " +
                   std::string(seconds) +
                   " -c:v mpeg2video -g 5 -bf 0 -f hls -hls_time 1 -hls_list_size 4 "
                   "-hls_flags delete_segments+omit_endlist -hls_segment_filename live%d.ts "
                   "-master_pl_name master.m3u8 live.m3u8"),
            dir_.path());
    };
    // The frames a run analysed, from its last line.
    const auto analysed = [](const std::string& err) {
        const size_t at = err.rfind("stopped by SIGTERM after ");
        return at == std::string::npos ? -1 : std::stoi(err.substr(at + 25));
    };
    // The packager stops (a loss; the run goes on) and starts again: its
    // pictures are seen soon after, through the master playlist too, whose
    // own text stays the same.
    for (const char* playlist : {"live.m3u8", "master.m3u8"}) {
        SCOPED_TRACE(playlist);
        std::remove(dir_.file("hook.jsonl").c_str());
        auto writer = live("4");
        ASSERT_TRUE(waitFor(10, [&] { return fileExists(dir_.file(playlist)); }));
        Lumaqc lumaqc({base + playlist, "--quiet", "--no-log", "--threads", "1", "--stall-timeout",
                       "2", "--exec-on-event", "cat >> hook.jsonl"},
                      dir_.path());
        writer->wait();
        ASSERT_TRUE(waitFor(15, [&] { return count("open", "signal_loss") >= 1; })) << lumaqc.err();
        EXPECT_TRUE(lumaqc.running());
        auto again = live("3");
        EXPECT_TRUE(waitFor(20, [&] { return count("close", "signal_loss") >= 1; }))
            << lumaqc.err();
        EXPECT_EQ(count("open", "signal_loss"), 1u);  // one loss until then
        again->wait();
        // Its end is a loss too, when every picture it wrote is out.
        EXPECT_TRUE(waitFor(15, [&] { return count("open", "signal_loss") >= 2; })) << lumaqc.err();
        EXPECT_TRUE(lumaqc.running());
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
        // Every frame once, most of the second packager's: 4 s and 3 s at
        // 25 frames a second.
        EXPECT_LE(analysed(lumaqc.err()), 175) << lumaqc.err();
        EXPECT_GE(analysed(lumaqc.err()), 150) << lumaqc.err();
        std::remove(dir_.file("master.m3u8").c_str());
        std::remove(dir_.file("live.m3u8").c_str());
    }

    // The web server goes away for a second while the packager writes on:
    // the playlist, opened again, starts a few segments back, and the
    // pictures seen already are not analysed again.
    auto writer = live("8");
    ASSERT_TRUE(waitFor(10, [&] { return fileExists(dir_.file("live.m3u8")); }));
    Lumaqc lumaqc({base + "live.m3u8", "--quiet", "--log", "log.csv", "--threads", "1",
                   "--stall-timeout", "5"},
                  dir_.path());
    ASSERT_TRUE(waitFor(15, [&] { return logRows(dir_.file("log.csv")) >= 50; })) << lumaqc.err();
    server.reset();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    server = serve();
    writer->wait();
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    EXPECT_LE(analysed(lumaqc.err()), 200) << lumaqc.err();

    // The same outage, the segment to be read again encoded anew meanwhile
    // (other bits, the same times): its pictures are still the ones seen.
    // Six 1 s segments; the run starts at the second of the first four and
    // comes back at the fourth of six, the one encoded again.
    {
        ASSERT_EQ(runProgram(ffmpeg_,
                             fields("-v error -y -f lavfi -i testsrc2=size=160x90:rate=25 -t 6 "
                                    "-c:v mpeg2video -q:v 2 -g 5 -bf 0 -f hls -hls_time 1 "
                                    "-hls_playlist_type vod -hls_segment_filename seg%d.ts "
                                    "six.m3u8"),
                             dir_.path())
                      .status,
                  0);
        ASSERT_EQ(runProgram(ffmpeg_,
                             fields("-v error -y -copyts -i seg3.ts -c:v mpeg2video -q:v 12 -g 5 "
                                    "-bf 0 -muxdelay 0 -muxpreload 0 -f mpegts again3.ts"),
                             dir_.path())
                      .status,
                  0);
        const auto playlist = [&](int segments) {
            std::string text =
                "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n"
                "#EXT-X-MEDIA-SEQUENCE:0\n";
            for (int i = 0; i < segments; ++i) {
                text += "#EXTINF:1.000000,\nseg" + std::to_string(i) + ".ts\n";
            }
            writeFile(dir_.file("next.m3u8"), text);
            ASSERT_EQ(
                std::rename(dir_.file("next.m3u8").c_str(), dir_.file("six-live.m3u8").c_str()), 0);
        };
        playlist(4);
        std::remove(dir_.file("hook.jsonl").c_str());
        Lumaqc watcher({base + "six-live.m3u8", "--quiet", "--log", "six.csv", "--threads", "1",
                        "--stall-timeout", "4", "--exec-on-event", "cat >> hook.jsonl"},
                       dir_.path());
        ASSERT_TRUE(waitFor(15, [&] { return logRows(dir_.file("six.csv")) >= 70; }))
            << watcher.err();
        server.reset();
        ASSERT_TRUE(waitFor(15, [&] {
            return watcher.err().find("opening it again") != std::string::npos;
        })) << watcher.err();
        ASSERT_EQ(std::rename(dir_.file("again3.ts").c_str(), dir_.file("seg3.ts").c_str()), 0);
        playlist(6);
        server = serve();
        ASSERT_TRUE(waitFor(15, [&] { return logRows(dir_.file("six.csv")) >= 115; }))
            << watcher.err();
        // Every picture is out once the loss after the last segment opens.
        const size_t losses = count("open", "signal_loss");
        EXPECT_TRUE(waitFor(15, [&] { return count("open", "signal_loss") > losses; }));
        watcher.signal(SIGTERM);
        EXPECT_EQ(watcher.wait(), 128 + SIGTERM) << watcher.err();
        // Segments 1 to 5, each once (encoded again, the fourth came twice).
        EXPECT_LE(analysed(watcher.err()), 125) << watcher.err();
        EXPECT_GE(analysed(watcher.err()), 115) << watcher.err();
    }
}

// libsrt's own account of a caller it refused (a passphrase it does not
// expect) comes as the program's one line, not as libsrt's lines.
TEST_F(LiveFeeds, LibsrtSpeaksInTheProgramsLines) {
    const int port = freePort(SOCK_DGRAM);
    Lumaqc lumaqc({"srt://127.0.0.1:" + std::to_string(port) + "?mode=listener", "--quiet",
                   "--no-log", "--stall-timeout", "30"},
                  dir_.path());
    ASSERT_TRUE(waitFor(30, [&] { return udpBound(port); })) << lumaqc.err();
    runProgram(ffmpeg_,
               fields("-v quiet -f lavfi -i testsrc2=size=160x90:rate=25 -t 1 -c:v mpeg2video -f "
                      "mpegts srt://127.0.0.1:" +
                      std::to_string(port) + "?mode=caller&passphrase=abcdefghijkl"),
               dir_.path());
    EXPECT_TRUE(waitFor(10, [&] {
        return lumaqc.err().find("lumaqc: libsrt: ") != std::string::npos;
    })) << lumaqc.err();
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    for (const std::string& line : splitLines(lumaqc.err())) {
        if (!line.empty()) {
            EXPECT_EQ(line.rfind("lumaqc: ", 0), 0u) << lumaqc.err();
        }
    }
}

// A slow sender (a picture every two seconds, sent in a burst) is looked
// at for about a second, not until four of its pictures came and their
// times add up to half a second: its first picture is out before the
// sender's fifth (the demuxer, the parser and the decoder each hold one
// back meanwhile; H.264's decoder one more). Counted in the sender's
// pictures, not in seconds.
TEST_F(LiveFeeds, SlowSendersArePicturedWithoutWaitingForFourPictures) {
    const std::pair<const char*, long> kSenders[] = {{"mpeg2video", 4},
                                                     {"libx264 -tune zerolatency", 5}};
    for (const auto& [codec, bursts] : kSenders) {
        SCOPED_TRACE(codec);
        std::remove(dir_.file("log.csv").c_str());
        const int port = freePort(SOCK_DGRAM);
        Relay relay(port);
        Lumaqc lumaqc({"udp://127.0.0.1:" + std::to_string(port), "--quiet", "--log", "log.csv",
                       "--threads", "1", "--stall-timeout", "30"},
                      dir_.path());
        ASSERT_TRUE(waitFor(30, [&] { return udpBound(port); })) << lumaqc.err();
        Background sender(ffmpeg_,
                          fields("-v error -re -f lavfi -i testsrc2=size=160x90:rate=1/2 -t 12 "
                                 "-c:v " +
                                 std::string(codec) + " -g 5 -bf 0 " + udpOutput(relay.port())),
                          dir_.path());
        ASSERT_TRUE(waitFor(30, [&] { return logRows(dir_.file("log.csv")) >= 1; }))
            << lumaqc.err();
        EXPECT_LE(relay.bursts(), bursts);
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    }
}

// A UDP feed joined between key pictures 4 s apart (MPEG-2, its sequence
// header sent with the key pictures only), its programme table sent with
// each of them or every 4 s: the first look at the stream finds no picture
// size. The run decodes from the next key picture, without taking the
// packets before it (no header, no reference) for damage. (A second look
// at a stream crashed libavformat.)
TEST_F(LiveFeeds, AFeedJoinedBetweenDistantKeyPictures) {
    for (const char* tables : {"", "-pat_period 4 "}) {
        SCOPED_TRACE(tables);
        std::remove(dir_.file("log.csv").c_str());
        std::remove(dir_.file("events.jsonl").c_str());
        const int port = freePort(SOCK_DGRAM);
        Relay relay(port);
        Background sender(ffmpeg_,
                          fields("-v error -re -f lavfi -i testsrc2=size=160x90:rate=25 -t 12 "
                                 "-c:v mpeg2video -g 100 " +
                                 std::string(tables) + udpOutput(relay.port())),
                          dir_.path());
        ASSERT_TRUE(waitFor(30, [&] { return relay.bursts() >= 1; }));
        Lumaqc lumaqc(
            {"udp://127.0.0.1:" + std::to_string(port), "--quiet", "--log", "log.csv", "--threads",
             "1", "--stall-timeout", "30", "--profile", "default", "--events", "events.jsonl"},
            dir_.path());
        waitFor(30, [&] { return logRows(dir_.file("log.csv")) >= 5 || !lumaqc.running(); });
        ASSERT_TRUE(lumaqc.running()) << lumaqc.err();
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
        for (const Json& record : jsonLines(dir_.file("events.jsonl"))) {
            EXPECT_NE(record.value("type", ""), "decode_error") << record.dump();
        }
    }
}

// The video pauses for 1.5 s while its sound goes on (an audio-only
// stretch, shorter than the stall timeout), or while another programme's
// video goes on: the same stream, read on, not opened again, so that no
// picture after the pause is lost (up to a second to the next key picture,
// opened again). Every picture is analysed once; those the decoder still
// holds when the sender ends come out with the signal loss that follows.
TEST_F(LiveFeeds, AnAudioOnlyStretchLosesNoPicture) {
    // What goes on beside the video (the larger picture, the one analysed),
    // and the video's codec.
    const std::pair<const char*, const char*> kStreams[] = {
        {"-f lavfi -i sine=sample_rate=48000", "mpeg2video -c:a mp2 -b:a 384k"},
        {"-f lavfi -i sine=sample_rate=48000", "libx264 -c:a mp2 -b:a 384k"},
        {"-f lavfi -i testsrc2=size=96x54:rate=25",
         "mpeg2video -program st=0 -program st=1 -map 0 -map 1"},
    };
    for (const auto& [beside, codec] : kStreams) {
        SCOPED_TRACE(std::string(beside) + " " + codec);
        std::remove(dir_.file("log.csv").c_str());
        std::remove(dir_.file("hook.jsonl").c_str());
        // 150 pictures, 38 of them (2 s to 3.5 s) left out.
        ASSERT_EQ(runProgram(ffmpeg_,
                             fields("-v error -y -f lavfi -i testsrc2=size=160x90:rate=25 " +
                                    std::string(beside) +
                                    " -t 6 -filter:v:0 select='not(between(t,2,3.5))' "
                                    "-fps_mode passthrough -g 25 -bf 0 -c:v " +
                                    codec + " -f mpegts stretch.ts"),
                             dir_.path())
                      .status,
                  0);
        const int port = freePort(SOCK_DGRAM);
        Lumaqc lumaqc(
            {"udp://127.0.0.1:" + std::to_string(port), "--quiet", "--log", "log.csv", "--threads",
             "1", "--stall-timeout", "3", "--exec-on-event", "cat >> hook.jsonl"},
            dir_.path());
        ASSERT_TRUE(waitFor(30, [&] { return udpBound(port); })) << lumaqc.err();
        // Sent as it comes, the sound not held back until the video resumes.
        const RunResult sent = runProgram(
            ffmpeg_,
            fields("-v error -re -i stretch.ts -map 0 -c copy -max_interleave_delta 100000 " +
                   udpOutput(port)),
            dir_.path());
        ASSERT_EQ(sent.status, 0) << sent.err;
        ASSERT_TRUE(waitFor(15, [&] { return count("open", "signal_loss") == 1; })) << lumaqc.err();
        EXPECT_TRUE(waitFor(5, [&] { return logRows(dir_.file("log.csv")) == 112; }))
            << logRows(dir_.file("log.csv")) << " rows\n"
            << lumaqc.err();
        lumaqc.signal(SIGTERM);
        EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
        EXPECT_EQ(lumaqc.err().find("opening it again"), std::string::npos) << lumaqc.err();
    }
}

// A transport stream of two programmes whose analysed video (the larger
// picture) stops for 3 s, beyond the stall timeout, while the other goes
// on: a signal loss, and the input opened again goes on with the same
// programme when its pictures come back, not with the other one's.
TEST_F(LiveFeeds, AReopenedStreamKeepsItsProgramme) {
    ASSERT_EQ(runProgram(ffmpeg_,
                         fields("-v error -y -f lavfi -i testsrc2=size=160x90:rate=25 -f lavfi -i "
                                "testsrc2=size=96x54:rate=25 -t 7 -filter:v:0 "
                                "select='not(between(t,2,5))' -fps_mode passthrough -g 5 -bf 0 "
                                "-c:v mpeg2video -program st=0 -program st=1 -map 0 -map 1 -f "
                                "mpegts two.ts"),
                         dir_.path())
                  .status,
              0);
    const int port = freePort(SOCK_DGRAM);
    Lumaqc lumaqc(
        {"udp://127.0.0.1:" + std::to_string(port), "--quiet", "--log", "log.csv", "--threads", "1",
         "--stall-timeout", "2", "--exec-on-event", "cat >> hook.jsonl"},
        dir_.path());
    ASSERT_TRUE(waitFor(30, [&] { return udpBound(port); })) << lumaqc.err();
    const RunResult sent = runProgram(
        ffmpeg_, fields("-v error -re -i two.ts -map 0 -c copy " + udpOutput(port)), dir_.path());
    ASSERT_EQ(sent.status, 0) << sent.err;
    // The pause, then the end of the sender.
    EXPECT_TRUE(waitFor(15, [&] { return count("open", "signal_loss") == 2; })) << lumaqc.err();
    EXPECT_EQ(count("close", "signal_loss"), 1u);
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    EXPECT_EQ(count("open", "format_change"), 0u) << lumaqc.err();
    // Its 100 pictures at most, not the other programme's 175.
    EXPECT_LE(logRows(dir_.file("log.csv")), 100u);
}

// A relay that drops 1 % of the datagrams between ffmpeg and lumaqc:
// decoding errors come in bursts all along, and are a handful of
// decode_error events (each with its count), not one per burst.
TEST_F(LiveFeeds, PacketLossMakesAHandfulOfDecodeErrorEvents) {
    const int out = freePort(SOCK_DGRAM);
    std::mt19937 random(7);
    Relay relay(out, [&random] { return random() % 100 == 0; });
    Lumaqc lumaqc({"udp://127.0.0.1:" + std::to_string(out), "--quiet", "--no-log", "--threads",
                   "1", "--profile", "default", "--events", "events.jsonl"},
                  dir_.path());
    EXPECT_TRUE(waitFor(30, [&] { return udpBound(out); })) << lumaqc.err();
    const RunResult sent =
        runProgram(ffmpeg_, source("320x180", "12", udpOutput(relay.port())), dir_.path());
    ASSERT_EQ(sent.status, 0) << sent.err;
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM);
    EXPECT_GE(relay.dropped(), 5);
    int events = 0;
    int64_t errors = 0;
    for (const Json& record : jsonLines(dir_.file("events.jsonl"))) {
        if (record.value("type", "") == "decode_error" && record["record"] == "close") {
            ++events;
            errors += record["decode_errors"].get<int64_t>();
        }
    }
    EXPECT_GE(events, 1);
    EXPECT_LE(events, 3) << readFile(dir_.file("events.jsonl"));
    EXPECT_GT(errors, events);  // grouped
}

// lumaqc monitor refuses a channels file it cannot run, naming the line,
// before anything is written.
TEST_F(LiveFeeds, MonitorRefusesBadChannelFiles) {
    const std::pair<const char*, const char*> kFiles[] = {
        {"[[channel]]\nname = \"a\"\nurl = \"udp://127.0.0.1:1\"\ncolour = 1\n",
         "line 4: unknown key 'colour' (name, url, profile, "},
        {"[[channel]]\nname = \"a\"\nurl = \"udp://127.0.0.1:1\"\n[[channel]]\nname = \"a\"\n"
         "url = \"udp://127.0.0.1:2\"\n",
         "line 5: channel name 'a' is used twice"},
        {"[[channel]]\nname = \"a\"\nurl = \"udp://127.0.0.1:1\"\nwindow = \"5x\"\n",
         "line 1: channel 'a': invalid --window 5x"},
        {"threads = 2\n[[channel]\n", "line 2: "},
        {"[[channel]]\nname = \"a\"\nurl = \"udp://127.0.0.1:1\"\nprofile = \"none.toml\"\n",
         "line 4: channel 'a': cannot read"},
    };
    for (const auto& [text, expected] : kFiles) {
        writeFile(dir_.file("channels.toml"), text);
        const RunResult r = runLumaqc({"monitor", "channels.toml"}, dir_.path());
        EXPECT_EQ(r.status, 255) << text;
        EXPECT_EQ(r.err.rfind("lumaqc: channels channels.toml, ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

// Channels in one process: one whose source dies, one that never answers,
// one whose URL cannot work; another still raises its black event, in its
// file and its metric. SIGHUP then removes a channel and adds one, leaving the others
// running; SIGTERM prints every channel's verdict.
TEST_F(LiveSlowFeeds, MonitorKeepsChannelsApart) {
    const int a = freePort(SOCK_DGRAM), b = freePort(SOCK_DGRAM), c = freePort(SOCK_DGRAM),
              d = freePort(SOCK_DGRAM);
    const auto channel = [](const char* name, int port, const char* more) {
        return "[[channel]]\nname = \"" + std::string(name) +
               "\"\nurl = \"udp://127.0.0.1:" + std::to_string(port) + "\"\n" + more + "\n";
    };
    const std::string common = "metrics = \"127.0.0.1:0\"\n" +
                               channel("a", a, "profile = \"default\"\nevents = \"a.jsonl\"") +
                               channel("b", b, "profile = \"default\"\nevents = \"b.jsonl\"");
    // Its name holds an escape character: shown as \x1b on the console.
    const std::string bad = "[[channel]]\nname = \"e\\u001b\"\nurl = \"nosuch://x\"\n";
    writeFile(dir_.file("channels.toml"), common + bad + channel("c", c, ""));
    Lumaqc lumaqc({"monitor", "channels.toml"}, dir_.path());
    const int port = metricsPort(lumaqc);
    ASSERT_GT(port, 0) << lumaqc.err();
    httplib::Client client("127.0.0.1", port);
    const auto sample = [&client](const std::string& name, const std::string& labels) {
        const auto response = client.Get("/metrics");
        return response ? sampleOf(response->body, name + "{channel=" + labels + "}") : -1.0;
    };
    const auto send = [&](int to, const std::string& seconds, const std::string& filter) {
        return std::make_unique<Background>(
            ffmpeg_, source("160x90", seconds, filter + " " + udpOutput(to)), dir_.path());
    };
    send(a, "2", "")->wait();  // a's source dies: a signal loss
    ASSERT_TRUE(waitFor(15, [&] {
        return sample("lumaqc_event_active", "\"a\",type=\"signal_loss\",severity=\"error\"") == 1;
    })) << lumaqc.err();
    send(b, "3", "-vf drawbox=color=black:t=fill:enable='between(t,1,2)'")->wait();
    ASSERT_TRUE(waitFor(15, [&] {
        return sample("lumaqc_events_total", "\"b\",type=\"black\",severity=\"warning\"") == 1;
    })) << lumaqc.err();
    EXPECT_GE(sample("lumaqc_stalls_total", "\"c\""), 1);
    EXPECT_EQ(sample("lumaqc_receiving", "\"c\""), 0);
    EXPECT_EQ(sample("lumaqc_up", "\"e\x1b\""), 0);  // its URL cannot work: it stopped alone
    const std::vector<Json> blackB = jsonLines(dir_.file("b.jsonl"));
    EXPECT_TRUE(std::any_of(blackB.begin(), blackB.end(), [](const Json& r) {
        return r["record"] == "close" && r["type"] == "black";
    })) << readFile(dir_.file("b.jsonl"));

    // c removed, d added; a and b go on (a's loss is still counted).
    writeFile(dir_.file("channels.toml"), common + channel("d", d, ""));
    lumaqc.signal(SIGHUP);
    ASSERT_TRUE(waitFor(15, [&] { return sample("lumaqc_up", "\"d\"") == 1; })) << lumaqc.err();
    EXPECT_EQ(sample("lumaqc_up", "\"c\""), -1);
    EXPECT_GE(sample("lumaqc_stalls_total", "\"a\""), 1);
    send(d, "2", "")->wait();
    EXPECT_TRUE(waitFor(15, [&] { return sample("lumaqc_frames_total", "\"d\"") > 20; }));
    lumaqc.signal(SIGTERM);
    EXPECT_EQ(lumaqc.wait(), 128 + SIGTERM) << lumaqc.err();
    const std::string out = readFile(dir_.file("stdout"));
    for (const char* verdict :
         {"channel a: ", "channel b: ", "channel c: ", "channel d: ", "channel e\\x1b: did not run",
          "QC verdict: FAIL", "warning black"}) {
        EXPECT_NE(out.find(verdict), std::string::npos) << verdict << "\n" << out;
    }
}

}  // namespace
