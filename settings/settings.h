// The settings of one run: what to read, how to read it, what to compute,
// where the results go, how the video is judged and how a live input is
// watched. Every front end fills this one struct: the program's options bind
// straight into it (cli/command_line.cpp), Python's keyword arguments carry
// the same names (python/module.cpp), and validate() makes every refusal, so
// an option means the same thing and is refused with the same words
// everywhere.
//
// Adding an option: a field here (with its check in validate() when it has
// one), its entry in the option table (settingFields() in
// settings/settings.cpp), and its use where it acts. The program's option
// (settings/bind_options.h), Python's keyword argument and lumaqc-batch's
// option follow from the table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lumaqc {

// The log's name when none is given.
inline constexpr const char* kDefaultLogName = "metricsResultsCSV.csv";

// Where the metrics are served.
struct Endpoint {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port (the one chosen is printed)
};

// What a live run uses unless told otherwise (busy hosts run many channels).
inline constexpr double kLiveDefaultWindowSeconds = 300.0;
inline constexpr int64_t kLiveDefaultLogRotateBytes = 64LL << 20;

// Live monitoring, as the run uses it (validate() fills it from the text).
struct LiveOptions {
    bool live = false;          // --live: also for inputs that are not live by nature
    double stallTimeout = 2.0;  // seconds without a picture that make a signal loss
    std::optional<Endpoint> metrics;
    double windowSeconds = kLiveDefaultWindowSeconds;  // what the documents of a live run cover
    double flushSeconds = 10.0;                        // how often they are rewritten
    // -1: not given (live runs rotate at kLiveDefaultLogRotateBytes, others
    // never); else the size a log may reach.
    int64_t logRotateBytes = -1;
    int logKeep = 5;              // rotated logs kept
    std::string execOnEvent;      // run for every event opened or closed; empty for none
    std::string channel;          // --channel: the `channel` label of every series
    std::string metricsPortFile;  // where the port of the metrics endpoint is written
    // Live inputs: decoding errors this close together are one decode_error
    // event, closed after this long without one.
    double decodeHoldOff = 5.0;
};

struct Settings {
    // Input: a file, "-" for standard input, or a URL.
    std::string input;
    // Raw video's picture size; 0 x 0 leaves it to the input's header (Y4M,
    // decoded video). `sizeText` is the size as the user wrote it ("W x H"),
    // for the messages about it; empty: the numbers.
    int64_t width = 0;
    int64_t height = 0;
    std::string sizeText;
    std::string pixelFormat;  // --pix-fmt: raw input's sample layout; empty for yuv420p

    // Reading.
    std::optional<double> fps;      // default: the input's rate, else 25
    std::optional<int64_t> frames;  // default: every whole frame of the input
    int64_t start = 0;              // the first frame, counted from 0
    int threads = 0;                // 0: every hardware thread
    // --threads was given; a live run without it analyses on one thread (a
    // busy host runs many channels; the decoder has threads of its own).
    bool threadsGiven = false;

    // Outputs; "-" as a path is standard output.
    std::string logPath = kDefaultLogName;
    bool noLog = false;
    bool quiet = false;    // no per-frame rows on the console
    std::string jsonPath;  // empty for none, as for the others
    std::string csvPath;
    std::string reportPath;
    std::string eventsPath;  // JSON Lines of the events (needs a profile)

    // Decision.
    std::string profile;           // "default" or a TOML file; empty for none
    std::string failOn = "error";  // the severity that fails the file: error or warning
    bool printProfile = false;     // print the profile as TOML and stop
    // Seconds or "HH:MM:SS:FF" at the head and the tail that the profile does
    // not judge (they replace the profile's ignore_head / ignore_tail).
    std::string ignoreHead;
    std::string ignoreTail;

    // Live monitoring, as written ("500ms", "10m", "100M", ":9100"); validate()
    // converts it into `live`.
    bool liveRequested = false;
    std::string stallTimeout;
    std::string metrics;
    std::string window;
    std::string flushInterval;
    std::string logRotate;
    int logKeep = 5;
    std::string execOnEvent;
    std::string channel;
    std::string metricsPortFile;
    LiveOptions live;  // filled by validate()

    bool failOnWarning() const { return failOn == "warning"; }
};

// Checks `settings` and completes `settings.live`. Empty when they are sound,
// else the one-line message (line feed included) for the error stream.
std::string validate(Settings& settings);

// The checks of single values, as the option parsers apply them while
// reading: "" when sound, else why not (no line feed, no option name).
std::string checkThreads(const std::string& text);  // 0 to kMaxThreads
// Seconds (0 or more) or a timecode "HH:MM:SS:FF".
std::string checkTime(const std::string& text);
inline constexpr long kMaxThreads = 1024;
std::string checkLogKeep(const std::string& text);  // 0 to kMaxLogKeep
std::string checkPath(const std::string& text);     // a path given, not empty
inline constexpr long kMaxLogKeep = 1000;

// A duration: a number of seconds, or a number followed by ms, s, m or h
// ("500ms", "60s", "10m", "1h", "1.5"). Nothing when malformed, negative or
// not finite.
std::optional<double> parseDuration(const std::string& text);
// A size in bytes: a whole number, or followed by K, M or G (powers of 1024;
// "512K", "100M", "1G"). Nothing when malformed or beyond 2^62.
std::optional<int64_t> parseSize(const std::string& text);
// HOST:PORT, :PORT or PORT (the host defaults to 127.0.0.1); an IPv6 host is
// written in brackets ("[::1]:9100"). Nothing when malformed or the port is
// beyond 65535.
std::optional<Endpoint> parseEndpoint(const std::string& text);

// Every named option, once: its name on the command line, its keyword in
// Python (the name without dashes, '_' for '-'), its topic for --help, its
// one-line help, where its value goes, and the checks the parsers apply
// while reading. The program binds each entry to CLI11 (cli/command_line.cpp)
// and Python's analyze_file() reads its keyword arguments through it
// (python/module.cpp): a new entry is an option of both.
enum class SettingTopic { Input, Analysis, Outputs, Qc, Live };
const char* topicName(SettingTopic topic);  // "Input", "Analysis", ... as --help shows it

using SettingMember =
    std::variant<std::string Settings::*, bool Settings::*, int Settings::*, int64_t Settings::*,
                 std::optional<double> Settings::*, std::optional<int64_t> Settings::*>;

struct SettingField {
    const char* option;   // "--pix-fmt"
    const char* keyword;  // "pix_fmt"
    SettingTopic topic;
    const char* help;
    SettingMember member;
    // A check of the value as written ("" when sound, else why not), and the
    // range it allows as --help shows it ("0 to 1024").
    std::string (*check)(const std::string& text) = nullptr;
    const char* range = nullptr;
    const char* choices = nullptr;  // the only values allowed, comma-separated
    const char* needs = nullptr;    // another option this one needs ("--profile")
    bool nonNegative = false;       // a number of 0 or more
};
const std::vector<SettingField>& settingFields();
const SettingField* findSettingField(const std::string& keyword);

}  // namespace lumaqc
