// Runs that cannot start, through the whole program: each prints its one line
// (or the usage text), exits with 255, writes nothing and leaves an earlier
// log, the input and rotated logs untouched. So do runs that start but
// analyse no frame (a start past the end), refused once the input ends. Every
// refusal and its words are in the unit test tests/unit/test_refusals.cpp;
// these are one of each stage.

#include <unistd.h>

#include <cstdlib>

#include "e2e_support.h"

TEST(Cli, RefusedStartsLeaveAnEarlierLogAlone) {
    const std::string usage =
        std::string("Not enough parameters\n\nUsage : ") + LUMAQC_BIN +
        " nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n, "
        "where [***] is optional parameter.\n\n";
    const std::string shortPipe =
        "Standard input holds no whole frame of 64 x 48 (1000 bytes; a frame is 4608)\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::string fed = "";        // standard input, when the input is "-"
        const char* simd = nullptr;  // LUMAQC_SIMD
    } cases[] = {
        {{}, ""},
        {{"clip.yuv"}, ""},
        {{"clip.yuv", "64", "48", "--bogus", "--json", "new.json"},
         "lumaqc: The following argument was not expected: --bogus (see --help)\n"},
        {{"clip.yuv", "64", "48", "--json", "new.json"},
         "lumaqc: LUMAQC_SIMD: unknown vector target neon (use avx3, avx512, avx2, sse4, emu128 or "
         "scalar)\n",
         "",
         "neon"},
        {{"clip.yuv", "64", "48", "--json", "new.json", "--profile", "bad.toml"},
         "lumaqc: profile bad.toml, line 6: unknown key 'treshold' in a rule\n"},
        {{"clip.yuv", "64", "48", "--json", "new.json", "--profile", "default", "--fps", "0",
          "--events", "new.jsonl"},
         "lumaqc: a QC profile needs a positive frame rate, not 0\n"},
        {{"clip.yuv", "64", "48", "--json", "new.json", "--profile", "default", "--ignore-head",
          "00:00:01:25"},
         "lumaqc: ignore_head 00:00:01:25 is not a timecode at 25 frames a second\n"},
        // An output on a rotated log (which rotation renames).
        {{"metricsResultsCSV.csv.2", "64", "48", "--quiet", "--log-rotate", "4K", "--log-keep", "3",
          "--json", "metricsResultsCSV.csv.1"},
         "lumaqc: the JSON document (--json) and the rotated log metricsResultsCSV.csv.1 would "
         "both be written to metricsResultsCSV.csv.1\n"},
        {{"clip.yuv", "64", "48", "--json", "."},
         "Cannot create the JSON file .: Is a directory\n"},
        // Empty inputs: an upstream that failed is no run of no frame.
        {{"-", "64", "48", "--json", "new.json"}, "Standard input is empty\n", ""},
        {{"-", "64", "48", "--json", "new.json"}, shortPipe, std::string(1000, 'x')},
        {{"-", "64", "48", "--json", "new.json", "--profile", "default"},
         shortPipe,
         std::string(1000, 'x')},
        {{"empty.mp4", "--json", "new.json"}, "The file empty.mp4 is empty\n"},
        {{"none.y4m", "--json", "new.json"},
         "The file none.y4m holds no frame after its Y4M header\n"},
        {{"-", "--json", "new.json"},
         "Standard input holds no frame after its Y4M header\n",
         "YUV4MPEG2 W64 H48 F25:1\n"},
        // The input: standard input, not the file named "-".
        {{"-", "--json", "new.json"},
         "Unsupported Y4M colour space C411p10 in standard input: the colour spaces read are "
         "C420, C420jpeg, C420paldv, C420mpeg2, C411, C422, C440, C444, C444alpha and Cmono, and "
         "C420, C422, C444, C440 and Cmono with 9 to 16 bits (C420p10, Cmono16, ...)\n",
         "YUV4MPEG2 W352 H288 F25:1 C411p10\nFRAME\n"},
        // No frame from the start on: refused at the end, earlier outputs kept.
        {{"clip.mp4", "--start", "5", "--json", "kept.json", "--csv", "kept.csv", "--report",
          "new.html"},
         "lumaqc: no frame of clip.mp4\n"},
        {{"clip.mp4", "--start", "5", "--profile", "default", "--events", "kept.jsonl", "--csv",
          "new.csv", "--threads", "2"},
         "lumaqc: no frame of clip.mp4\n"},
        {{"clip.yuv", "64", "48", "--start", "1", "--json", "kept.json", "--events", "new.jsonl",
          "--profile", "default"},
         "lumaqc: no frame of clip.yuv\n"},
        {{"clip.yuv", "64", "48", "--start", "1", "--csv", "kept.csv", "--report", "new.html"},
         "lumaqc: no frame of clip.yuv\n"},
        {{"-", "64", "48", "--start", "1", "--json", "new.json", "--csv", "kept.csv"},
         "lumaqc: no frame of standard input\n",
         rawFrame(texturedLuma(64, 48, 1), 64, 48)},
        // Through a link to a file still missing (link.json -> new.json).
        {{"clip.yuv", "64", "48", "--start", "1", "--log", "link.json"},
         "lumaqc: no frame of clip.yuv\n"},
        {{"-", "64", "48", "--live", "--json", "kept.json", "--csv", "new.csv"},
         "lumaqc: no frame of standard input\n",
         std::string(1000, 'x')},
    };
    TempDir dir;
    writeFile(dir.file("clip.yuv"), rawFrame(texturedLuma(64, 48, 1), 64, 48));
    const std::string ffmpeg = decoderSupport() ? findInPath("ffmpeg") : "";
    if (!ffmpeg.empty()) {
        runProgram(ffmpeg,
                   {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-frames:v",
                    "3", "-pix_fmt", "yuv420p", "clip.mp4"},
                   dir.path());
    }
    writeFile(dir.file("metricsResultsCSV.csv.2"), readFile(dir.file("clip.yuv")));
    writeFile(dir.file("-"), "a file named -\n");
    ASSERT_EQ(symlink("new.json", dir.file("link.json").c_str()), 0);
    writeFile(dir.file("empty.mp4"), "");
    writeFile(dir.file("none.y4m"), "YUV4MPEG2 W64 H48 F25:1\n");
    writeFile(dir.file("bad.toml"),
              "name = \"bad\"\n[[rule]]\nid = \"b\"\nevent = \"black\"\n"
              "severity = \"error\"\ntreshold = 1\n");
    for (const auto& c : cases) {
        if (!c.args.empty() && c.args[0] == "clip.mp4" && !fileExists(dir.file("clip.mp4")))
            continue;  // without ffmpeg or the decoders
        for (const char* name : {"metricsResultsCSV.csv", "kept.json", "kept.csv", "kept.jsonl"})
            writeFile(dir.file(name), "earlier\n");
        if (c.simd != nullptr) setenv("LUMAQC_SIMD", c.simd, 1);
        const RunResult r = c.args.empty() || c.args[0] != "-"
                                ? runLumaqc(c.args, dir.path())
                                : runLumaqcFed(c.args, dir.path(), c.fed);
        unsetenv("LUMAQC_SIMD");
        EXPECT_EQ(r.status, 255) << c.err;
        EXPECT_EQ(r.err, c.err);
        if (c.err.find("no frame of") == std::string::npos)
            EXPECT_EQ(r.out, c.err.empty() ? usage : "") << c.err;
        else
            EXPECT_TRUE(consoleRows(r.out).empty() && r.out.ends_with("File stream closed\n\n"))
                << r.out;
        for (const char* name : {"metricsResultsCSV.csv", "kept.json", "kept.csv", "kept.jsonl"})
            EXPECT_EQ(readFile(dir.file(name)), "earlier\n") << c.err << name;
        for (const char* name :
             {"new.json", "new.jsonl", "new.csv", "new.html", "metricsResultsCSV.csv.1"})
            EXPECT_FALSE(fileExists(dir.file(name))) << c.err << name;
    }
    EXPECT_EQ(readFile(dir.file("clip.yuv")).size(), 64u * 48 * 3 / 2);
    EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv.2")), readFile(dir.file("clip.yuv")));
    EXPECT_EQ(readFile(dir.file("-")), "a file named -\n");
    // A run that starts creates the file the link leads to.
    EXPECT_EQ(runLumaqc({"clip.yuv", "64", "48", "--json", "link.json"}, dir.path()).status, 0);
    EXPECT_NE(readFile(dir.file("new.json")).find("\"frames_analysed\": 1,"), std::string::npos);
}
