// Starts that are refused, and the one line each prints: the command line and
// its settings (validate()), the profile, the output paths, then the input, in
// the order the program checks them, in a folder of sample files. The program
// runs through the whole path for a few of them (tests/e2e/cli_test.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "engine/run.h"
#include "io/live_source.h"
#include "qc/profile.h"
#include "report/output_paths.h"

using namespace lumaqc;

namespace {

// What the program prints for `args` before it reads a frame: "usage" for
// the usage text, "" when it would start.
std::string refusal(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"lumaqc"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    const ParsedCommand parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (parsed.action == CommandAction::Usage) return "usage";
    if (parsed.action != CommandAction::Run) return parsed.text;
    const Settings& settings = parsed.settings;
    std::string error;
    if (!settings.profile.empty() && !qc::loadProfile(settings.profile, error)) {
        return "lumaqc: " + error + "\n";
    }
    error = checkOutputPaths(settings, settings.live.live || isLiveInput(settings.input));
    if (!error.empty()) return error;
    OpenStatus status = OpenStatus::Ok;
    if (Analysis::open(analysisRequest(settings), error, &status)) return "";
    return status == OpenStatus::NeedsSize ? "usage" : error;
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class Refusals : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "lumaqc-refusals-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        write("clip.yuv", std::string(64 * 48 * 3 / 2, '\x40'));  // one frame of 64 x 48
        ASSERT_EQ(link("clip.yuv", "same.yuv"), 0);
        ASSERT_EQ(link("clip.yuv", "clip.yuv.2"), 0);
        ASSERT_EQ(symlink("new.json", "link.json"), 0);
        write("link.json.2", "a rotation of a log that was a file here\n");
        write("metricsResultsCSV.csv.2", "a file given as the input\n");
        ASSERT_EQ(mkdir("sub", 0755), 0);
        ASSERT_EQ(mkdir("rot.csv.2", 0755), 0);
        ASSERT_EQ(mkdir("folder.yuv", 0755), 0);
        write("nul.y4m", std::string("YUV4MPEG2 W64\0 H48\n", 19));
        write("bad.toml",
              "name = \"bad\"\n[[rule]]\nid = \"b\"\nevent = \"black\"\n"
              "severity = \"error\"\ntreshold = 1\n");
    }
    void TearDown() override {
        ASSERT_EQ(chdir(::testing::TempDir().c_str()), 0);
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

}  // namespace

TEST_F(Refusals, EachSaysWhyInOneLine) {
    const std::string only =
        ": the colour spaces read are C420, C420jpeg, C420paldv, C420mpeg2, C411, C422, C440, "
        "C444, C444alpha and Cmono, and C420, C422, C444, C440 and Cmono with 9 to 16 bits "
        "(C420p10, Cmono16, ...)\n";
    const std::string y4m = "Invalid Y4M header of in.y4m: ";
    const std::string formats =
        "yuv420p, yuv422p, yuv444p, yuv440p, yuv411p, yuv410p, yuva444p, gray, nv12, nv21, nv24, "
        "nv42, yuv420p9le, yuv420p10le, yuv420p12le, yuv420p14le, yuv420p16le, yuv422p9le, "
        "yuv422p10le, yuv422p12le, yuv422p14le, yuv422p16le, yuv444p9le, yuv444p10le, "
        "yuv444p12le, yuv444p14le, yuv444p16le, yuv440p10le, yuv440p12le, gray9le, gray10le, "
        "gray12le, gray14le, gray16le, p010le, p016le, p210le, p216le, p410le, p416le";
    const std::string invalid = "Invalid picture size ", large = " is too large\n";
    const std::string range = ": width and height must be at most 2147483647 (out of range)\n";
    const std::string positive = ": width and height must be positive\n";
    const std::string week = " is out of range: give a duration from 1ms to 168h (a week)\n";
    const std::string keep = "lumaqc: --log-keep: ",
                      keepRange = " is out of range, must be 0 to 1000 (see --help)\n";
    const std::string json = "lumaqc: the JSON document (--json) ",
                      both = " would both be written to ";
    const std::string rotated = json + "and the rotated log metricsResultsCSV.csv.";
    const std::string overwrite = " would overwrite the input clip.yuv\n";
    const std::string folder = "Error opening the file folder.yuv: Is a directory \n";
    const std::string missing = ": No such file or directory \n";
    const struct {
        std::string args;  // split at spaces
        std::string error;
        std::string y4m = "";  // written to in.y4m
    } cases[] = {
        // The command line and its settings.
        {"", "usage"},
        {"clip.yuv", "usage"},  // raw video needs its size
        {"clip.yuv abc 48", invalid + "0 x 48" + positive},
        {"clip.yuv -64 48", invalid + "-64 x 48" + positive},
        {"clip.yuv 70000 70000", "Picture size 70000 x 70000" + large},
        {"clip.yuv 46341 46341", "Picture size 46341 x 46341" + large},
        {"clip.yuv 2147483647 2", "Picture size 2147483647 x 2" + large},
        {"clip.yuv 2147483648 1", invalid + "2147483648 x 1" + range},
        {"clip.yuv 4294967648 288", invalid + "4294967648 x 288" + range},
        {"clip.yuv 99999999999999999999 1", invalid + "99999999999999999999 x 1" + range},
        {"clip.yuv 64 48 25 2 -1", "Invalid start frame -1: it must be 0 or more\n"},
        {"clip.yuv 64 48 --bogus",
         "lumaqc: The following argument was not expected: --bogus (see --help)\n"},
        {"--fps fast clip.yuv 64 48", "lumaqc: Could not convert: --fps = fast (see --help)\n"},
        {"clip.yuv 64 48 --start", "lumaqc: --start: 1 required INT missing (see --help)\n"},
        {"clip.yuv 64 48 --threads -1",
         "lumaqc: --threads: -1 is out of range, must be 0 to 1024 (see --help)\n"},
        {"clip.yuv 64 48 --threads abc", "lumaqc: --threads: abc is not a number (see --help)\n"},
        {"clip.yuv 64 48 --pix-fmt yuv420p11le",
         "lumaqc: unknown pixel format yuv420p11le for --pix-fmt; accepted: " + formats + "\n"},
        {"clip.yuv 64 48 --stall-timeout 3000000h", "lumaqc: --stall-timeout 3000000h" + week},
        {"clip.yuv 64 48 --flush-interval 9999999999h",
         "lumaqc: --flush-interval 9999999999h" + week},
        {"clip.yuv 64 48 --window 0.5ms", "lumaqc: --window 0.5ms" + week},
        {"clip.yuv 64 48 --log-keep 2000000000 --log-rotate 1K", keep + "2000000000" + keepRange},
        {"clip.yuv 64 48 --log-keep -1", keep + "-1" + keepRange},
        {"clip.yuv 64 48 --log-rotate 2000G",
         "lumaqc: --log-rotate 2000G is out of range: give a size from 1 byte to 1024G\n"},
        {"clip.yuv 64 48 --log - --log-rotate 1K",
         "lumaqc: --log-rotate needs a log file; the log goes to standard output (--log -)\n"},
        {"clip.yuv 64 48 --events e.jsonl", "lumaqc: --events requires --profile (see --help)\n"},
        {"clip.yuv 64 48 --profile default --fail-on never",
         "lumaqc: --fail-on: never not in {error,warning} (see --help)\n"},
        // The profile.
        {"clip.yuv 64 48 --profile bad.toml",
         "lumaqc: profile bad.toml, line 6: unknown key 'treshold' in a rule\n"},
        {"clip.yuv 64 48 --profile missing.toml",
         "lumaqc: cannot read the profile missing.toml: No such file or directory\n"},
        // Outputs that would overwrite the input or each other (same.yuv and
        // clip.yuv.2 are hard links to clip.yuv; link.json leads to new.json,
        // which does not exist).
        {"clip.yuv 64 48 --json - --csv -",
         json + "and the CSV document (--csv) cannot both go to standard output (-)\n"},
        {"clip.yuv 64 48 --log - --report -",
         "lumaqc: the log (--log) and the HTML report (--report) cannot both go to standard "
         "output (-)\n"},
        {"clip.yuv 64 48 --csv ./clip.yuv", "lumaqc: the CSV document (--csv)" + overwrite},
        {"clip.yuv 64 48 --json same.yuv", json.substr(0, json.size() - 1) + overwrite},
        {"clip.yuv 64 48 --log sub/../clip.yuv", "lumaqc: the log (--log)" + overwrite},
        {"clip.yuv 64 48 --json metricsResultsCSV.csv",
         "lumaqc: the log (--log) and the JSON document (--json)" + both +
             "metricsResultsCSV.csv\n"},
        {"clip.yuv 64 48 --no-log --json new.json --report sub/../new.json",
         json + "and the HTML report (--report)" + both + "sub/../new.json\n"},
        {"clip.yuv 64 48 --no-log --report link.json --json new.json",
         json + "and the HTML report (--report)" + both + "link.json\n"},
        {"clip.yuv 64 48 --log /dev/null --log-rotate 1M",
         "lumaqc: --log-rotate rotates a regular file only; the log /dev/null is not one\n"},
        // Log rotation renames and deletes LOG.1 .. LOG.N: they are outputs
        // too, and only a regular log is rotated (rot.csv.2 is a directory).
        {"clip.yuv.2 64 48 --log clip.yuv --log-rotate 4K",
         "lumaqc: the log (--log) would overwrite the input clip.yuv.2\n"},
        {"clip.yuv 64 48 --log rot.csv --log-rotate 4K --json rot.csv.1",
         "lumaqc: log rotation would replace rot.csv.2, which is not a regular file\n"},
        {"clip.yuv 64 48 --log-rotate 4K --log-keep 3 --json metricsResultsCSV.csv.3",
         rotated + "3" + both + "metricsResultsCSV.csv.3\n"},
        // Through a link, the file it leads to rotates.
        {"clip.yuv 64 48 --log link.json --log-rotate 4K --json new.json.1",
         json + "and the rotated log new.json.1" + both + "new.json.1\n"},
        {"clip.yuv 64 48 --log link.json --log-rotate 4K --json link.json.2",
         json + "would overwrite link.json.2, a rotated log beside the link link.json\n"},
        {"metricsResultsCSV.csv.2 64 48 --log-rotate 4K --log-keep 3",
         "lumaqc: the rotated log metricsResultsCSV.csv.2 would overwrite the input "
         "metricsResultsCSV.csv.2\n"},
        // A live run (standard input) rotates its log by default.
        {"- --json metricsResultsCSV.csv.4", rotated + "4" + both + "metricsResultsCSV.csv.4\n"},
        // The input.
        {"missing.yuv 64 48", "Error opening the file missing.yuv" + missing},
        {"/nonexistent/file.mp4", "Error opening the file /nonexistent/file.mp4" + missing},
        {"folder.yuv", folder},
        {"folder.yuv 64 48", folder},
        {"folder.yuv 64 48 25 3 1", folder},
        {"clip.yuv 640 480",
         "The file clip.yuv holds no whole frame of 640 x 480 (4608 bytes; a frame is 460800)\n"},
        {"clip.yuv --pix-fmt gray",
         "A pixel format (--pix-fmt gray) describes raw video, which needs WIDTH and HEIGHT; "
         "clip.yuv has no Y4M header that gives them\n"},
        {"nul.y4m", "Invalid Y4M header of nul.y4m: bad width W64\\x00\n"},
        {"in.y4m", "Unsupported Y4M colour space C420p11 in in.y4m" + only,
         "YUV4MPEG2 W352 H288 F25:1 C420p11\nFRAME\n"},
        {"in.y4m --pix-fmt nv12",
         "Pixel format nv12 does not match the Y4M header of in.y4m (gray)\n",
         "YUV4MPEG2 W16 H16 F25:1 Cmono\nFRAME\n"},
        {"in.y4m", y4m + "no picture size (W and H)\n", "YUV4MPEG2 W352 F25:1\n"},
        {"in.y4m", y4m + "bad frame rate F25:0\n", "YUV4MPEG2 W352 H288 F25:0\n"},
        {"in.y4m", y4m + "picture size 70000 x 70000" + large, "YUV4MPEG2 W70000 H70000\n"},
        {"in.y4m", y4m + "no line feed at its end (truncated)\n", "YUV4MPEG2 W352 H288"},
        {"in.y4m", y4m + "longer than 4096 bytes\n", "YUV4MPEG2 " + std::string(5000, 'X')},
        {"in.y4m 64 48",
         "Picture size 64 x 48 does not match the Y4M header of in.y4m (352 x 288)\n",
         "YUV4MPEG2 W352 H288 F25:1\nFRAME\n"},
        // And what starts.
        {"clip.yuv 64 48", ""},
        {"clip.yuv 64 48 --profile default --json - --log-rotate 4K", ""},
    };
    for (const auto& c : cases) {
        write("in.y4m", c.y4m);
        std::istringstream words(c.args);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        EXPECT_EQ(refusal(args), c.error) << c.args;
    }
}
