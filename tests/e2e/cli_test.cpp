// Runs that cannot start: each prints its one line (or the usage text), exits
// with 255 and leaves an earlier log untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

TEST(Cli, RefusedStartsLeaveAnEarlierLogAlone) {
    const std::string usage =
        std::string("Not enough parameters\n\nUsage : ") + LUMAQC_BIN +
        " nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n, "
        "where [***] is optional parameter.\n\n";
    const std::string only =
        ": the colour spaces read are C420, C420jpeg, C420paldv, C420mpeg2, C411, C422, C440, "
        "C444, C444alpha and Cmono, and C420, C422, C444, C440 and Cmono with 9 to 16 bits "
        "(C420p10, Cmono16, ...)\n";
    const std::string header = "Invalid Y4M header of in.y4m: ";
    const std::string formats =
        "yuv420p, yuv422p, yuv444p, yuv440p, yuv411p, yuv410p, yuva444p, gray, nv12, nv21, nv24, "
        "nv42, yuv420p9le, yuv420p10le, yuv420p12le, yuv420p14le, yuv420p16le, yuv422p9le, "
        "yuv422p10le, yuv422p12le, yuv422p14le, yuv422p16le, yuv444p9le, yuv444p10le, "
        "yuv444p12le, yuv444p14le, yuv444p16le, yuv440p10le, yuv440p12le, gray9le, gray10le, "
        "gray12le, gray14le, gray16le, p010le, p016le, p210le, p216le, p410le, p416le";
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::string y4m = "";  // written to in.y4m, or fed to standard input when the path is "-"
        const char* simd = nullptr;  // LUMAQC_SIMD
    } cases[] = {
        {{}, ""},
        {{"clip.yuv"}, ""},  // raw video needs its size
        {{"missing.yuv", "64", "48"},
         "Error opening the file missing.yuv: No such file or directory \n"},
        {{"clip.yuv", "abc", "48"},
         "Invalid picture size 0 x 48: width and height must be positive\n"},
        {{"clip.yuv", "64", "48", "25", "2", "-1"},
         "Invalid start frame -1: it must be 0 or more\n"},
        {{"clip.yuv", "64", "48", "--bogus"},
         "lumaqc: The following argument was not expected: --bogus (see --help)\n"},
        {{"--fps", "fast", "clip.yuv", "64", "48"},
         "lumaqc: Could not convert: --fps = fast (see --help)\n"},
        {{"clip.yuv", "64", "48", "--start"},
         "lumaqc: --start: 1 required INT missing (see --help)\n"},
        {{"clip.yuv", "64", "48", "--json", "."},
         "Cannot create the JSON file .: Is a directory\n"},
        {{"clip.yuv", "64", "48"},
         "lumaqc: LUMAQC_SIMD: unknown vector target neon (use avx3, avx512, avx2, sse4, emu128 or "
         "scalar)\n",
         "",
         "neon"},
        {{"in.y4m"},
         "Unsupported Y4M colour space C420p11 in in.y4m" + only,
         "YUV4MPEG2 W352 H288 F25:1 C420p11\nFRAME\n"},
        {{"-"},
         "Unsupported Y4M colour space C411p10 in standard input" + only,
         "YUV4MPEG2 W352 H288 F25:1 C411p10\nFRAME\n"},
        {{"clip.yuv", "64", "48", "--pix-fmt", "yuv420p11le"},
         "lumaqc: unknown pixel format yuv420p11le for --pix-fmt; accepted: " + formats + "\n"},
        {{"in.y4m", "--pix-fmt", "nv12"},
         "Pixel format nv12 does not match the Y4M header of in.y4m (gray)\n",
         "YUV4MPEG2 W16 H16 F25:1 Cmono\nFRAME\n"},
        {{"clip.yuv", "--pix-fmt", "gray"},
         "A pixel format (--pix-fmt gray) describes raw video, which needs WIDTH and HEIGHT; "
         "clip.yuv has no Y4M header that gives them\n"},
        {{"in.y4m"}, header + "no picture size (W and H)\n", "YUV4MPEG2 W352 F25:1\n"},
        {{"in.y4m"}, header + "bad frame rate F25:0\n", "YUV4MPEG2 W352 H288 F25:0\n"},
        {{"in.y4m"},
         header + "picture size 70000 x 70000 is too large\n",
         "YUV4MPEG2 W70000 H70000\n"},
        {{"in.y4m"}, header + "no line feed at its end (truncated)\n", "YUV4MPEG2 W352 H288"},
        {{"in.y4m"}, header + "longer than 4096 bytes\n", "YUV4MPEG2 " + std::string(5000, 'X')},
        {{"in.y4m", "64", "48"},
         "Picture size 64 x 48 does not match the Y4M header of in.y4m (352 x 288)\n",
         "YUV4MPEG2 W352 H288 F25:1\nFRAME\n"},
        // Outputs that would overwrite the input or each other (same.yuv is a
        // hard link to clip.yuv).
        {{"clip.yuv", "64", "48", "--json", "-", "--csv", "-"},
         "lumaqc: the JSON document (--json) and the CSV document (--csv) cannot both go to "
         "standard output (-)\n"},
        {{"clip.yuv", "64", "48", "--log", "-", "--report", "-"},
         "lumaqc: the log (--log) and the HTML report (--report) cannot both go to standard "
         "output (-)\n"},
        {{"clip.yuv", "64", "48", "--csv", "./clip.yuv"},
         "lumaqc: the CSV document (--csv) would overwrite the input clip.yuv\n"},
        {{"clip.yuv", "64", "48", "--json", "same.yuv"},
         "lumaqc: the JSON document (--json) would overwrite the input clip.yuv\n"},
        {{"clip.yuv", "64", "48", "--log", "sub/../clip.yuv"},
         "lumaqc: the log (--log) would overwrite the input clip.yuv\n"},
        {{"clip.yuv", "64", "48", "--json", "metricsResultsCSV.csv"},
         "lumaqc: the log (--log) and the JSON document (--json) would both be written to "
         "metricsResultsCSV.csv\n"},
        {{"clip.yuv", "64", "48", "--no-log", "--json", "new.json", "--report", "sub/../new.json"},
         "lumaqc: the JSON document (--json) and the HTML report (--report) would both be "
         "written to sub/../new.json\n"},
        // Log rotation renames and deletes LOG.1 .. LOG.N: they are outputs
        // too, and only a regular log is rotated (clip.yuv.2 is a link to
        // clip.yuv; rot.csv.2 is a directory).
        {{"clip.yuv.2", "64", "48", "--log", "clip.yuv", "--log-rotate", "4K"},
         "lumaqc: the log (--log) would overwrite the input clip.yuv.2\n"},
        {{"clip.yuv.2", "64", "48", "--log", "rot.csv", "--log-rotate", "4K", "--json",
          "rot.csv.1"},
         "lumaqc: log rotation would replace rot.csv.2, which is not a regular file\n"},
        {{"clip.yuv", "64", "48", "--log-rotate", "4K", "--log-keep", "3", "--json",
          "metricsResultsCSV.csv.3"},
         "lumaqc: the JSON document (--json) and the rotated log metricsResultsCSV.csv.3 would "
         "both be written to metricsResultsCSV.csv.3\n"},
        {{"metricsResultsCSV.csv.2", "64", "48", "--log-rotate", "4K", "--log-keep", "3"},
         "lumaqc: the rotated log metricsResultsCSV.csv.2 would overwrite the input "
         "metricsResultsCSV.csv.2\n"},
        {{"metricsResultsCSV.csv.2", "64", "48", "--quiet", "--log-rotate", "4K", "--log-keep", "3",
          "--json", "metricsResultsCSV.csv.1"},
         "lumaqc: the JSON document (--json) and the rotated log metricsResultsCSV.csv.1 would "
         "both be written to metricsResultsCSV.csv.1\n"},
        // A live run (standard input) rotates its log by default.
        {{"-", "--json", "metricsResultsCSV.csv.4"},
         "lumaqc: the JSON document (--json) and the rotated log metricsResultsCSV.csv.4 would "
         "both be written to metricsResultsCSV.csv.4\n"},
        {{"clip.yuv", "64", "48", "--log", "/dev/null", "--log-rotate", "1M"},
         "lumaqc: --log-rotate rotates a regular file only; the log /dev/null is not one\n"},
        {{"clip.yuv", "64", "48", "--log", "-", "--log-rotate", "1K"},
         "lumaqc: --log-rotate needs a log file; the log goes to standard output (--log -)\n"},
        // Durations and counts past their range would never end.
        {{"clip.yuv", "64", "48", "--stall-timeout", "3000000h"},
         "lumaqc: --stall-timeout 3000000h is out of range: give a duration from 1ms to 168h "
         "(a week)\n"},
        {{"clip.yuv", "64", "48", "--flush-interval", "9999999999h"},
         "lumaqc: --flush-interval 9999999999h is out of range: give a duration from 1ms to "
         "168h (a week)\n"},
        {{"clip.yuv", "64", "48", "--window", "0.5ms"},
         "lumaqc: --window 0.5ms is out of range: give a duration from 1ms to 168h (a week)\n"},
        {{"clip.yuv", "64", "48", "--log-keep", "2000000000", "--log-rotate", "1K"},
         "lumaqc: --log-keep: 2000000000 is out of range, must be 0 to 1000 (see --help)\n"},
        {{"clip.yuv", "64", "48", "--log-keep", "-1"},
         "lumaqc: --log-keep: -1 is out of range, must be 0 to 1000 (see --help)\n"},
        {{"clip.yuv", "64", "48", "--log-rotate", "2000G"},
         "lumaqc: --log-rotate 2000G is out of range: give a size from 1 byte to 1024G\n"},
    };
    TempDir dir;
    writeFile(dir.file("clip.yuv"), rawFrame(texturedLuma(64, 48, 1), 64, 48));
    ASSERT_EQ(link(dir.file("clip.yuv").c_str(), dir.file("same.yuv").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(link(dir.file("clip.yuv").c_str(), dir.file("clip.yuv.2").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("rot.csv.2").c_str(), 0755), 0);
    writeFile(dir.file("metricsResultsCSV.csv.2"), readFile(dir.file("clip.yuv")));
    writeFile(dir.file("-"), "a file named -\n");
    for (const auto& c : cases) {
        writeFile(dir.file("metricsResultsCSV.csv"), "earlier\n");
        writeFile(dir.file("in.y4m"), c.y4m);
        if (c.simd != nullptr) setenv("LUMAQC_SIMD", c.simd, 1);
        const RunResult r = c.args == std::vector<std::string>{"-"}
                                ? runLumaqcFed(c.args, dir.path(), c.y4m)
                                : runLumaqc(c.args, dir.path());
        unsetenv("LUMAQC_SIMD");
        EXPECT_EQ(r.status, 255) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.err.empty() ? usage : "") << c.err;
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), "earlier\n") << c.err;
        EXPECT_FALSE(fileExists(dir.file("new.json"))) << c.err;
    }
    EXPECT_EQ(readFile(dir.file("clip.yuv")).size(), 64u * 48 * 3 / 2);
    EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv.2")), readFile(dir.file("clip.yuv")));
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv.1")));
    EXPECT_EQ(readFile(dir.file("-")), "a file named -\n");
}
