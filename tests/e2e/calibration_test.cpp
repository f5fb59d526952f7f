// QC profiles end to end. The calibration set: clips a delivery desk meets,
// made with ffmpeg, judged by `lumaqc check` under the default profile. Each
// clip has its verdict and its events, located within two frames of the
// truth (blur within a second); the clean clips raise nothing but notes.
// Decisions: the verdict, the events as they happen and the status of a run
// with --profile; damaged and variable-frame-rate files. Refused profiles
// are in tests/unit/test_refusals.cpp.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

struct Expected {
    std::string type;
    std::string severity;
    int first;  // frames; for events between frames, the frame after
    int last;   // -1: an event that covers no frame (a gap, the missing end)
    int tolerance = 2;
};

struct Clip {
    std::string name;
    std::vector<std::string> ffmpeg;  // arguments before the output name
    std::string verdict = "pass";
    std::vector<Expected> events = {};
    // Types of further warnings tolerated (heavy damage or compression shows
    // in more than one indicator); empty: none.
    std::vector<std::string> alsoWarnings = {};
};

const std::string kX264[] = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};

std::vector<std::string> testsrc(const std::string& size, int seconds, const std::string& filter,
                                 const std::string& crf = "20") {
    std::vector<std::string> args{
        "-f", "lavfi", "-i",
        "testsrc2=size=" + size + ":rate=25:duration=" + std::to_string(seconds)};
    if (!filter.empty()) args.insert(args.end(), {"-filter_complex", filter});
    args.insert(args.end(), std::begin(kX264), std::end(kX264));
    args.insert(args.end(), {"-crf", crf});
    return args;
}

// Lines of white marks 3 rows tall every 24 rows, in words of 4-sample
// strokes across the middle of a black 352x288 picture, rolling up 2 rows
// a frame (`geq`); `after` follows the pattern in the filter chain.
std::vector<std::string> credits(int seconds, const std::string& after) {
    std::vector<std::string> args{
        "-f",
        "lavfi",
        "-i",
        "color=black:size=352x288:rate=25:duration=" + std::to_string(seconds),
        "-vf",
        "format=yuv420p,geq=lum='if(lt(mod(Y+2*N\\,24)\\,3)*lt(mod(X\\,12)\\,4)*"
        "lt(abs(X-176)\\,60)*lt(mod(floor((Y+2*N)/24)*7+floor(X/12)*3\\,5)\\,3)\\,235\\,16)'"
        ":cb=128:cr=128" +
            after};
    args.insert(args.end(), std::begin(kX264), std::end(kX264));
    args.insert(args.end(), {"-crf", "20"});
    return args;
}

class Calibration : public FfmpegTest {
  protected:
    void make(const std::string& name, std::vector<std::string> args) {
        args.push_back(name);
        ffmpeg(args);
    }

    // Frame times ffprobe decodes, for the truth of damaged clips.
    std::vector<double> frameTimes(const std::string& name) {
        const RunResult r = runProgram(findInPath("ffprobe"),
                                       {"-v", "quiet", "-select_streams", "v", "-show_entries",
                                        "frame=best_effort_timestamp_time", "-of", "csv=p=0", name},
                                       dir_.path());
        std::vector<double> times;
        for (const std::string& line : splitLines(r.out)) {
            if (!line.empty() && line != "N/A") times.push_back(std::atof(line.c_str()));
        }
        return times;
    }
};

TEST_F(Calibration, DefaultProfileFindsEachDefectAndPassesCleanClips) {
    std::vector<Clip> clips = {
        // A delivery: 3 s of bars, 1 s of black, programme. Bars are a note,
        // the black after them is the leader.
        {"bars.mp4",
         fields("-f lavfi -i smptebars=size=352x288:rate=25:duration=3 -f lavfi -i "
                "color=black:size=352x288:rate=25:duration=1 -f lavfi -i "
                "testsrc2=size=352x288:rate=25:duration=3 -filter_complex [0][1][2]concat=n=3 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20"),
         "pass",
         {{"bars", "info", 0, 74}}},
        // The same with HD bars, whose lower sections start at 7/12 of the height.
        {"barshd.mp4",
         fields("-f lavfi -i smptehdbars=size=1280x720:rate=25:duration=3 -f lavfi -i "
                "color=black:size=1280x720:rate=25:duration=1 -f lavfi -i "
                "testsrc2=size=1280x720:rate=25:duration=3 -filter_complex [0][1][2]concat=n=3 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20"),
         "pass",
         {{"bars", "info", 0, 74}}},
        // A second of grey, then bars: the cut's picture goes with the bars,
        // and no statistic is left to one picture.
        {"greybars.mp4",
         fields("-f lavfi -i color=gray:size=352x288:rate=25:duration=1 -f lavfi -i "
                "smptebars=size=352x288:rate=25:duration=3 -filter_complex [0][1]concat=n=2 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 22"),
         "pass",
         {{"bars", "info", 26, 99}}},
        // A delivery's head: bars, a slate (a still card) for 3 s, a second
        // of black, then programme held for 3 s: the slate and the black
        // after it are the leader, the hold is not.
        {"slate.mp4",
         fields("-f lavfi -i smptebars=size=352x288:rate=25:duration=2 -f lavfi -i "
                "color=0x303030:size=352x288:rate=25:duration=3 -f lavfi -i "
                "color=black:size=352x288:rate=25:duration=1 -f lavfi -i "
                "testsrc2=size=352x288:rate=25:duration=5 -filter_complex "
                "[1]drawbox=x=40:y=60:w=200:h=24:color=white:t=fill,drawbox=x=40:y=120:w=140:"
                "h=16:color=white:t=fill[s];[3]split[a][b];[a][b]freezeframes=first=25:last=100:"
                "replace=25[p];[0][s][2][p]concat=n=4 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20"),
         "fail",
         {{"bars", "info", 0, 49}, {"freeze", "error", 175, 250}}},
        // A crawl moving 5 columns a frame along the bottom over programme
        // held from frame 25 to 100: a freeze. Samples changing at random
        // along the bottom of a still (water, a crowd) do not move as a
        // whole: no crawl, and the still under them moves. A flat picture
        // would not show the crawl's move (a sky over a panned skyline):
        // nothing is held.
        {"crawl.mp4",
         fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=5 -f lavfi -i "
                "color=0x101060:size=352x40:rate=25:duration=5 -filter_complex "
                "[0]split[a][b];[a][b]freezeframes=first=25:last=100:replace=25[p];[1]geq="
                "lum='if(lt(mod(X+5*N\\,37)\\,14)*between(Y\\,10\\,29)\\,235\\,30)':cb=128:"
                "cr=128[c];[p][c]overlay=x=0:y=248 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20"),
         "fail",
         {{"freeze", "error", 25, 100}}},
        {"flatcrawl.mp4",
         fields("-f lavfi -i color=0x4080c0:size=352x288:rate=25:duration=3 -f lavfi -i "
                "color=0x101060:size=352x40:rate=25:duration=3 -filter_complex "
                "[1]geq=lum='if(lt(mod(X+5*N\\,37)\\,14)*between(Y\\,10\\,29)\\,235\\,30)':"
                "cb=128:cr=128[c];[0][c]overlay=x=0:y=248 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20")},
        {"sparkle.mp4",
         fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=3 -f lavfi -i "
                "color=0x404040:size=352x48:rate=25:duration=3 -filter_complex "
                "[0]trim=end_frame=1,loop=loop=-1:size=1,trim=duration=3[p];[1]geq="
                "lum='40+180*gt(random(1)\\,0.7)':cb=128:cr=128[c];[p][c]overlay=x=0:y=240 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20")},
        // Black from 3 s to 6 s with a white logo on 1.9 % of the picture.
        {"logo.mp4",
         testsrc("352x288", 8,
                 "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='between(t,3,6)',"
                 "drawbox=x=290:y=20:w=48:h=40:color=white:t=fill"),
         "fail",
         {{"black", "error", 75, 150}}},
        // End credits: lines of marks like words rolling up over black, 2
        // rows a frame, 0.85 % of the picture. Programme, then a stretch
        // where the roll is gone: black.
        {"credits.mp4", credits(3, "")},
        {"creditsgap.mp4",
         credits(4, ",drawbox=color=black:t=fill:enable='between(t,1,3)'"),
         "fail",
         {{"black", "error", 25, 75}}},
        // The picture of frame 74 held to frame 150, at CRF 18 and 28.
        {"hold18.mp4",
         testsrc("352x288", 8, "split[a][b];[a][b]freezeframes=first=75:last=150:replace=74", "18"),
         "fail",
         {{"freeze", "error", 74, 150}}},
        {"hold28.mp4",
         testsrc("352x288", 8, "split[a][b];[a][b]freezeframes=first=75:last=150:replace=74", "28"),
         "fail",
         {{"freeze", "error", 74, 150}}},
        // A hold in MPEG-2: each key frame refreshes it on two frames running.
        {"holdm2v.mpg",
         fields("-f lavfi -i mandelbrot=size=352x288:rate=25 -t 5 -filter_complex "
                "split[a][b];[a][b]freezeframes=first=25:last=100:replace=25 -c:v mpeg2video "
                "-b:v 4M"),
         "fail",
         {{"freeze", "error", 25, 100}}},
        // With B pictures: two frames of three code the hold anew (0.2 to
        // 0.45), the third repeats it; a third of the frames are still.
        {"holdm2vb.mpg",
         fields("-f lavfi -i mandelbrot=size=352x288:rate=25 -t 4 -filter_complex "
                "split[a][b];[a][b]freezeframes=first=25:last=75:replace=25 -c:v mpeg2video "
                "-b:v 2M -g 15 -bf 2"),
         "fail",
         {{"freeze", "error", 25, 75}}},
        // A detailed picture (its seed fixed): each key frame moves the hold
        // 4.5 to 4.8 on two frames running, a hundredth of its detail.
        {"holdm2vdetail.mpg",
         fields("-f lavfi -i sierpinski=size=352x288:rate=25:seed=1 -t 4 -filter_complex "
                "split[a][b];[a][b]freezeframes=first=25:last=75:replace=25 -c:v mpeg2video "
                "-b:v 2M -g 15 -bf 2"),
         "fail",
         {{"freeze", "error", 25, 75}}},
        // 4 s of blur in SD and in HD: found within a second of its bounds.
        {"blursd.mp4",
         testsrc("352x288", 10, "boxblur=6:enable='between(t,3,7)'"),
         "pass",
         {{"blur", "warning", 75, 175, 25}}},
        {"blurhd.mp4",
         testsrc("1280x720", 8, "boxblur=12:enable='between(t,2,6)'"),
         "pass",
         {{"blur", "warning", 50, 150, 25}}},
        // Clean SD scaled up to HD: blur reads 8-9, the file's own level.
        {"uphd.mp4", testsrc("352x288", 3, "scale=1920:1080")},
        // Visibly blocky: x264 at QP 48 without deblocking (damaged
        // macroblocks read as block loss too) and at QP 45 deblocked, MPEG-2
        // at -q:v 31: the stream's quantiser tells them.
        {"qp48.mp4",
         fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=3 -c:v libx264 -preset "
                "ultrafast -pix_fmt yuv420p -qp 48"),
         "pass",
         {{"blocking", "warning", 0, 74}},
         {"block_loss"}},
        {"qp45.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=352x288:rate=25:duration=3", "-c:v", "libx264",
          "-preset", "veryfast", "-pix_fmt", "yuv420p", "-qp", "45"},
         "pass",
         {{"blocking", "warning", 0, 74}}},
        {"q31.mpg",
         {"-f", "lavfi", "-i", "testsrc2=size=352x288:rate=25:duration=3", "-c:v", "mpeg2video",
          "-q:v", "31"},
         "pass",
         {{"blocking", "warning", 0, 74}}},
        // A slow hand-held shot: moving, never a held picture.
        {"handheld.mp4",
         testsrc("704x576", 6,
                 "crop=352:288:'176+20*sin(t*1.3)+t*4':'144+12*sin(t*1.7)',gblur=sigma=1"),
         "pass",
         {}},
        // A still turning slowly, blurred: temporal activity 0.17-0.59 (mean
        // 0.38) on every frame, a moving picture, not a held one.
        {"slowturn.mp4", testsrc("640x480", 1,
                                 "trim=end_frame=1,loop=loop=149:size=1,setpts=N/25/TB,"
                                 "rotate=a='0.012*t':c=black,crop=480:360,gblur=sigma=2")},
        // A slow steady motion, 0.24 to 0.46 a frame (under 0.3 on average
        // over its first half second): it moves on every frame, as a held
        // picture does not. Colours and points fixed: gradients draws them at
        // random otherwise.
        {"gradients.mp4",
         fields("-f lavfi -i gradients=size=320x240:rate=25:duration=3:c0=0x2040c0:c1=0xe0a020:"
                "nb_colors=2:x0=0:y0=0:x1=319:y1=239:speed=0.004 -c:v libx264 -preset ultrafast "
                "-pix_fmt yuv420p -crf 20")},
        // Slower and smoother: 0.11 to 0.40 a frame (median 0.15, as an MPEG-2
        // hold reads), at a spatial activity of 1.7: much for its detail.
        {"smoothgradient.mp4",
         fields("-f lavfi -i gradients=size=320x240:rate=25:duration=3:c0=0x405060:c1=0x607080:"
                "nb_colors=2:x0=0:y0=0:x1=319:y1=239:speed=0.004 -c:v libx264 -preset ultrafast "
                "-pix_fmt yuv420p -crf 20")},
        // 1080i flagged as such: its woven fields read as block loss, not judged.
        {"i1080.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=50:duration=2", "-vf", "interlace",
          "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-flags", "+ildct+ilme",
          "-top", "1"}},
        // Y4M declares its fields in the header (It): not judged either.
        {"i288.y4m",
         {"-f", "lavfi", "-i", "testsrc2=size=352x288:rate=50:duration=2", "-vf", "interlace", "-f",
          "yuv4mpegpipe"}},
        // The same fields flagged progressive: interlaced content over the clip.
        {"p1080.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=50:duration=2", "-vf", "interlace",
          "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"},
         "fail",
         {{"scan_type", "error", 0, 49}}},
        // Woven fail down to 180 rows; fewer rows are not judged (clean read woven).
        {"p180.mp4",
         {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=50:duration=2", "-vf", "interlace",
          "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"},
         "fail",
         {{"scan_type", "error", 0, 49}}},
        {"clean120.mp4", testsrc("160x120", 8, ""), "pass", {}},
        // Woven mandelbrot combs little (1 % to 3 %): told by its field ratio.
        {"mandelwoven.mp4",
         fields("-f lavfi -i mandelbrot=size=352x288:rate=50 -t 2 -vf interlace -c:v libx264 "
                "-preset ultrafast -pix_fmt yuv420p"),
         "fail",
         {{"scan_type", "error", 0, 49}}},
        // A chessboard tilted 2 rows a frame: its edges move on one field's
        // rows more than on the other's, without a comb. Progressive.
        {"chesstilt.mp4",
         fields("-f lavfi -i color=size=352x288:rate=25:duration=2,geq=lum='if(mod(floor(X/32)+"
                "floor((Y+2*N)/32),2),235,16)' -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                "-crf 20")},
        // Tilted one row a frame: all the rows that change lie in one field,
        // the other reads no difference; each changing sample is the previous
        // picture's row above. Progressive.
        {"chesstilt1.mp4",
         fields("-f lavfi -i color=size=352x288:rate=25:duration=2,geq=lum='if(mod(floor(X/32)+"
                "floor((Y+N)/32),2),235,16)' -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                "-crf 20")},
        // An automaton's generations, one a row, scrolled one row a frame:
        // a comb on every picture, each changing sample the previous
        // picture's row below. Progressive (its levels and noise are its own).
        {"cellauto.mp4",
         fields("-f lavfi -i cellauto=size=640x360:rate=25 -t 2 -c:v libx264 -preset ultrafast "
                "-pix_fmt yuv420p -crf 20"),
         "pass",
         {},
         {"luma_levels", "noise"}},
        // A binary pattern of strong row parity moved one row and one column
        // a frame (the first clip), then one column sideways (most of the
        // second): each changing sample is the previous picture moved so.
        // Progressive.
        {"triangle.mp4",
         fields("-f lavfi -i sierpinski=type=triangle:size=352x288:rate=25:seed=1 -t 2 -c:v "
                "libx264 -preset ultrafast -pix_fmt yuv420p -crf 20")},
        {"triangleside.mp4",
         fields("-f lavfi -i sierpinski=type=triangle:size=352x288:rate=25:seed=6 -t 3 -c:v "
                "libx264 -preset ultrafast -pix_fmt yuv420p -crf 20")},
        // Mandelbrot's top strip, a smooth gradient, has no strip above it;
        // it repeats sideways on a fifth of its positions, a lost band on most.
        {"mandelbrot.ts",
         fields("-f lavfi -i mandelbrot=size=720x576:rate=25 -t 1 -c:v mpeg2video -b:v 8M -f "
                "mpegts")},
        // Blur over a sharp synthetic picture, whose edges read no ramp.
        {"sierpinski.mp4",
         fields("-f lavfi -i sierpinski=size=320x240:rate=25 -t 3 -vf "
                "gblur=sigma=3:enable='between(t,1,2)' -c:v libx264 -preset ultrafast -pix_fmt "
                "yuv420p -crf 20"),
         "pass",
         {{"blur", "warning", 25, 50}}},
        // Noise over a clean picture for 1.5 s.
        {"noise.mp4",
         testsrc("352x288", 3, "noise=alls=20:allf=t:enable='between(t,1,2.5)'"),
         "pass",
         {{"noise", "warning", 25, 62}}},
        // A zone plate reads as noise (68) on every frame: the file's own level.
        {"zoneplate.mp4",
         fields("-f lavfi -i nullsrc=size=352x288:rate=25:duration=2 -vf "
                "format=yuv420p,geq=lum='128+100*sin((X*X+Y*Y)/900+T*2)':cb=128:cr=128 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20")},
        // A band of two strips (32 rows) repeats into itself, not into the
        // strips around it.
        {"band32.mp4",
         fields("-f lavfi -i mandelbrot=size=352x288:rate=25 -t 3 -vf "
                "drawbox=x=0:y=128:w=iw:h=32:color=0x303030:t=fill:enable='between(t,1,2)' "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20"),
         "pass",
         {{"slice_loss", "warning", 25, 50}}},
        // A black border of 12 rows above the picture repeats sideways and
        // not below, as a lost band would, in the top strip.
        {"border.mp4",
         fields("-f lavfi -i mandelbrot=size=352x276:rate=25 -t 2 -vf pad=352:288:0:12:black "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20")},
        // Flat stripes above testsrc's colour band read as a lost slice below.
        {"testsrc.mp4", fields("-f lavfi -i testsrc=size=720x576:rate=25:duration=2 -c:v libx264 "
                               "-preset ultrafast -pix_fmt yuv420p -crf 20")},
        // Flat squares whose edges fall on the block grid: blockiness reads low
        // (p5 0.12), but the grid does not stand out of the picture.
        {"testsrc640.mp4", fields("-f lavfi -i testsrc=size=640x360:rate=25:duration=2 -c:v "
                                  "libx264 -preset ultrafast -pix_fmt yuv420p -crf 23")},
        // mptestsrc's flat blocks on black step faintly on the 8-pixel grid,
        // and nowhere else, but on under 2 % of its positions.
        {"mptestsrc.avi", fields("-f lavfi -i mptestsrc=rate=25:duration=1 -c:v mjpeg -q:v 3 "
                                 "-pix_fmt yuvj420p")},
        // Testsrc's counter at 1280x720: flat segments 16 pixels wide on the
        // block grid (block loss 14 to 17), but running 80 pixels and more.
        {"testsrc720.mp4", fields("-f lavfi -i testsrc=size=1280x720:rate=25:duration=1 -c:v "
                                  "libx264 -preset ultrafast -pix_fmt yuv420p -crf 23")},
        // x264's steps in a smooth gradient lie on the block grid, but are a
        // few levels (block loss up to 23 before).
        {"gradient.mp4",
         fields("-f lavfi -i gradients=size=640x360:rate=25:c0=0x3060a0:c1=0xc0d0f0:x0=0:y0=0:"
                "x1=639:y1=359:speed=0.01 -t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                "-crf 28")},
        // Three black blocks on the grid per 256x256 region for a second.
        {"lostblocks.mp4",
         testsrc("640x360", 3,
                 "drawbox=x=48:y=32:w=16:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=96:y=128:w=16:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=176:y=192:w=16:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=304:y=32:w=16:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=352:y=128:w=16:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=432:y=192:w=16:h=16:color=black:t=fill:enable='between(t,1,2)'"),
         "pass",
         {{"block_loss", "warning", 25, 50}}},
        // Five blocks lost along a row: as wide as a counter's segment, but
        // one block tall.
        {"loststrips.mp4",
         testsrc("640x360", 3,
                 "drawbox=x=48:y=32:w=80:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=96:y=128:w=80:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=112:y=192:w=80:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=304:y=32:w=80:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=352:y=128:w=80:h=16:color=black:t=fill:enable='between(t,1,2)',"
                 "drawbox=x=368:y=192:w=80:h=16:color=black:t=fill:enable='between(t,1,2)'"),
         "pass",
         {{"block_loss", "warning", 25, 50}}},
        // MJPEG at -q:v 8 leaves testsrc's colour strip in stairs on the block
        // grid, but nowhere else: a band of steps with the ramp between them.
        {"mjpeg8.avi", fields("-f lavfi -i testsrc=size=352x288:rate=25:duration=1 -c:v mjpeg "
                              "-q:v 8 -pix_fmt yuvj420p")},
        // MJPEG tells no quantiser: its blocks at -q:v 31 are rated by blockiness.
        {"mjpeg31.avi",
         fields("-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -c:v mjpeg -q:v 31 -pix_fmt "
                "yuvj420p"),
         "pass",
         {{"blocking", "warning", 0, 49}}},
        // Blocking that reads above 0.14 (p5 0.34), but steps on the grid
        // far more than between its columns, all over it.
        {"mjpeg20.avi",
         fields("-f lavfi -i mandelbrot=size=640x480:rate=25 -t 1 -c:v mjpeg -q:v 20 -pix_fmt "
                "yuvj420p"),
         "pass",
         {{"blocking", "warning", 0, 24}}},
        // Full range (MJPEG): letterbox bars at 0 are the video range's 16.
        {"fullrange.avi", fields("-f lavfi -i testsrc2=size=352x216:rate=25:duration=2 -vf "
                                 "pad=352:288:0:36 -c:v mjpeg -pix_fmt yuvj420p")},
        // The same tagged full range: FFV1, and a Y4M header's XCOLORRANGE=FULL.
        {"fullrange.mkv", fields("-f lavfi -i testsrc2=size=352x216:rate=25:duration=2 -vf "
                                 "pad=352:288:0:36,scale=out_range=full -c:v ffv1 -pix_fmt "
                                 "yuv420p -color_range pc")},
        {"fullrange.y4m", fields("-f lavfi -i testsrc2=size=352x216:rate=25:duration=2 -vf "
                                 "pad=352:288:0:36,scale=out_range=full -pix_fmt yuv420p "
                                 "-color_range pc -strict -1")},
        // H.264 in the video range then in full range: each part on its scale.
        {"limited.ts", fields("-f lavfi -i testsrc2=size=352x216:rate=25:duration=2 -vf "
                              "pad=352:288:0:36 -c:v libx264 -preset ultrafast -pix_fmt yuv420p")},
        {"fullrange.ts",
         fields("-f lavfi -i testsrc2=size=352x216:rate=25:duration=2 -vf "
                "pad=352:288:0:36,scale=out_range=full -c:v libx264 -preset ultrafast -pix_fmt "
                "yuvj420p")},
        {"ranges.ts", fields("-i concat:limited.ts|fullrange.ts -c copy")},
        // Matroska keeping an hour's offset: its duration counts from time 0.
        {"offset.mkv", fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=2 -c:v libx264 "
                              "-preset ultrafast -pix_fmt yuv420p -output_ts_offset 3600")},
        // Matroska with audio 0.3 s longer: the video track's own duration.
        {"audio.mkv", fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=2 -f lavfi -i "
                             "sine=duration=2.3 -c:v libx264 -preset ultrafast -pix_fmt yuv420p")},
        // RGB (tagged full range) gives its luma in the video range: dark grey
        // at 28 there, with a logo, is black.
        {"darkrgb.mkv",
         fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=5 -vf "
                "drawbox=color=0x0e0e0e:t=fill:enable='between(t,1,3.5)',drawbox=x=290:y=20:w=48:"
                "h=40:color=white:t=fill -c:v png -pix_fmt rgb24"),
         "fail",
         {{"black", "error", 25, 87}}},
        // Clean programme: nothing at all.
        {"clean.mp4", testsrc("352x288", 6, ""), "pass", {}},
        // A slot missing after the first picture (a transcoder's empty AVI
        // chunk) is not a loss; the same slot later is.
        {"startgap.avi", fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=3 -vf "
                                "select='not(eq(n,1))' -fps_mode passthrough -c:v mpeg4 -q:v 3")},
        {"midgap.avi",
         fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=3 -vf "
                "select='not(eq(n,30))' -fps_mode passthrough -c:v mpeg4 -q:v 3"),
         "fail",
         {{"frames_lost", "error", 30, -1}}},
    };
    // Real pictures, where opencv-doc's examples are installed (or where
    // LUMAQC_REAL_CLIPS names a directory holding them): Megamind.avi made
    // blocky by MJPEG, whose block edges cross the grid as the picture
    // moves (on it 22 to 30 against 6 to 12 off it at once, but 13 to 17
    // off it in the half second before): blocking, not lost blocks.
    const char* realDir = std::getenv("LUMAQC_REAL_CLIPS");
    const std::string real = realDir != nullptr && *realDir != '\0'
                                 ? std::string(realDir) + "/"
                                 : "/usr/share/doc/opencv-doc/examples/data/";
    if (std::filesystem::exists(real + "Megamind.avi")) {
        clips.push_back({"megamjpeg.avi",
                         {"-ss", "3.2", "-i", real + "Megamind.avi", "-t", "1.2", "-an", "-c:v",
                          "mjpeg", "-q:v", "25", "-pix_fmt", "yuvj420p"},
                         "pass",
                         {{"blocking", "warning", 0, 28}}});
        // Noise over MPEG-2 with B pictures, which read 0 to 4 between I
        // and P pictures reading 7 to 13: found where no two frames running
        // read under 7 (from frame 32: three running read 4, 0, 4 before).
        clips.push_back(
            {"noisempeg2.mpg",
             {"-i", real + "Megamind.avi", "-t", "3", "-an", "-vf",
              "scale=720:576,noise=alls=25:allf=t:enable='between(t,1,2.5)'", "-c:v", "mpeg2video",
              "-b:v", "5M", "-maxrate", "8M", "-bufsize", "1835k", "-g", "12", "-bf", "2"},
             "pass",
             {{"noise", "warning", 32, 57}},
             {"blocking"}});
    }
    for (const Clip& clip : clips) make(clip.name, clip.ffmpeg);
    // A file cut short: the first 60 % of a 6 s MP4 with its index first.
    make("full.mp4", [] {
        std::vector<std::string> a = testsrc("352x288", 6, "");
        a.insert(a.end(), {"-movflags", "+faststart"});
        return a;
    }());
    const std::string full = readFile(dir_.file("full.mp4"));
    writeFile(dir_.file("cut.mp4"), full.substr(0, full.size() * 6 / 10));
    // A transport stream that lost an eighth of its packets in the middle.
    make("whole.ts", [] {
        std::vector<std::string> a = testsrc("352x288", 6, "");
        a.insert(a.end(), {"-g", "25", "-f", "mpegts"});
        return a;
    }());
    const std::string ts = readFile(dir_.file("whole.ts"));
    const size_t packets = ts.size() / 188;
    writeFile(dir_.file("lost.ts"),
              ts.substr(0, packets / 2 * 188) + ts.substr((packets / 2 + packets / 8) * 188));

    // The truth of the damaged clips, from ffprobe's own decoding: where the
    // timestamps jump, and how many frames the cut file holds.
    const std::vector<double> lostTimes = frameTimes("lost.ts");
    int gapAfter = -1;
    for (size_t i = 1; i < lostTimes.size(); ++i) {
        if (lostTimes[i] - lostTimes[i - 1] > 0.06) gapAfter = static_cast<int>(i);
    }
    ASSERT_GT(gapAfter, 0);
    const int cutFrames = static_cast<int>(frameTimes("cut.mp4").size());
    clips.push_back({"lost.ts",
                     {},
                     "fail",
                     {{"frames_lost", "error", gapAfter, -1}},
                     {"decode_error", "block_loss", "slice_loss", "luma_levels"}});
    clips.push_back(
        {"cut.mp4", {}, "fail", {{"truncated", "error", cutFrames, -1}}, {"decode_error"}});

    std::vector<std::string> args{"check", "--json-dir", "out", "--threads", "2"};
    for (const Clip& clip : clips) args.push_back(clip.name);
    const RunResult run = runLumaqc(args, dir_.path());
    EXPECT_EQ(run.status, 1) << run.out << run.err;

    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.name);
        const Json doc = Json::parse(readFile(dir_.file("out/" + clip.name + ".json")));
        EXPECT_EQ(doc["verdict"]["result"], clip.verdict) << doc["events"].dump(1);
        std::vector<bool> found(clip.events.size(), false);
        for (const Json& e : doc["events"]) {
            bool matched = false;
            for (size_t i = 0; i < clip.events.size(); ++i) {
                const Expected& x = clip.events[i];
                if (found[i] || e["type"] != x.type) continue;
                found[i] = matched = true;
                EXPECT_EQ(e["severity"], x.severity) << e.dump();
                EXPECT_NEAR(e["first_frame"].get<int>(), x.first, x.tolerance) << e.dump();
                if (x.last >= 0) {
                    EXPECT_NEAR(e["last_frame"].get<int>(), x.last, x.tolerance) << e.dump();
                } else {
                    EXPECT_EQ(e["frames"], 0) << e.dump();
                }
                break;
            }
            if (matched) continue;
            const bool tolerated =
                e["severity"] == "info" ||
                std::find(clip.alsoWarnings.begin(), clip.alsoWarnings.end(),
                          e["type"].get<std::string>()) != clip.alsoWarnings.end();
            EXPECT_TRUE(tolerated) << "unexpected " << e.dump();
        }
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_TRUE(found[i]) << "missing " << clip.events[i].type;
        }
    }
    // The console: one verdict line per file, errors first, with timecode.
    EXPECT_NE(run.out.find("logo.mp4: FAIL (profile default): 1 error, 0 warnings\n  error black "
                           "(black_error), 00:00:03:00-00:00:06:01 (3.000-6.040 s), frames 75-150"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("bars.mp4: PASS (profile default): 0 errors, 0 warnings, 1 note\n"),
              std::string::npos)
        << run.out;
}

// A profile run gives the same events, verdict and log at every thread
// count, from a decoded file and from raw video (which the threads that
// compute the frames read themselves): bars, then woven fields flagged
// progressive, so that the bars test and the fields against the picture
// before decide events.
TEST_F(Calibration, EventsAreTheSameAtEveryThreadCount) {
    const std::string barsThenWoven =
        "-f lavfi -i smptebars=size=352x288:rate=25:duration=2 -f lavfi -i "
        "testsrc2=size=352x288:rate=50:duration=4 -filter_complex "
        "[0]format=yuv420p[b];[1]interlace,format=yuv420p[w];[b][w]concat=n=2:v=1:a=0 ";
    make("woven.mp4", fields(barsThenWoven + "-c:v libx264 -preset ultrafast -pix_fmt yuv420p"));
    make("woven.yuv", fields(barsThenWoven + "-f rawvideo -pix_fmt yuv420p"));
    const std::vector<std::string> inputs[] = {{"woven.mp4"}, {"woven.yuv", "352", "288"}};
    for (const std::vector<std::string>& input : inputs) {
        std::string first;
        for (const char* threads : {"1", "2", "3", "1", "2", "3"}) {
            std::vector<std::string> args = input;
            args.insert(args.end(), {"--quiet", "--threads", threads, "--profile", "default",
                                     "--events", "events.jsonl"});
            const RunResult run = runLumaqc(args, dir_.path());
            const std::string all = std::to_string(run.status) + "\n" + run.err +
                                    readFile(dir_.file("events.jsonl")) +
                                    readFile(dir_.file("metricsResultsCSV.csv"));
            if (first.empty()) first = all;
            EXPECT_EQ(all, first) << input[0] << " at " << threads << " threads";
        }
        EXPECT_NE(first.find(R"("type":"bars","severity":"info")"), std::string::npos) << first;
        EXPECT_NE(first.find(R"("type":"scan_type","severity":"error")"), std::string::npos)
            << first;
    }
}

// What `lumaqc check` says and returns for inputs it cannot judge, and its
// documents.
TEST_F(Calibration, CheckStatusesAndOutputs) {
    make("clean.mp4", testsrc("160x120", 1, ""));
    writeFile(dir_.file("notes.txt"), "not a video\n");
    RunResult r = runLumaqc({"check", "clean.mp4"}, dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "clean.mp4: PASS (profile default): 0 errors, 0 warnings\n");
    EXPECT_FALSE(fileExists(dir_.file("metricsResultsCSV.csv")));
    r = runLumaqc({"check", "clean.mp4", "notes.txt", "--report-dir", "r", "--json-dir", "j"},
                  dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "lumaqc: notes.txt is not a video file\n");
    EXPECT_NE(r.out.find("notes.txt: NOT ANALYSED\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fileExists(dir_.file("r/clean.mp4.html")));
    const Json doc = Json::parse(readFile(dir_.file("j/clean.mp4.json")));
    EXPECT_EQ(doc["stream"]["scan_type"], "progressive");
    EXPECT_EQ(doc["stream"]["declared_duration_seconds"], 1.0);
    EXPECT_EQ(doc["stream"]["analysed_duration_seconds"], 1.0);
    // Asked for: the rows and the log.
    r = runLumaqc({"check", "clean.mp4", "--rows", "--log", "rows.log"}, dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(consoleRows(r.out).size(), 25u);
    EXPECT_EQ(splitLines(readFile(dir_.file("rows.log"))).size(), 26u);
    // Refusals: an empty directory, an unknown profile, a bad time.
    r = runLumaqc({"check", "clean.mp4", "--json-dir", ""}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("--json-dir: an empty path names no file"), std::string::npos) << r.err;
    r = runLumaqc({"check", "clean.mp4", "--json-dir", "notes.txt"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "lumaqc: cannot create the directory notes.txt: Not a directory\n");
    r = runLumaqc({"check", "clean.mp4", "--profile", "missing.toml"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.rfind("lumaqc: cannot read the profile missing.toml", 0), 0u) << r.err;
    r = runLumaqc({"check", "clean.mp4", "--ignore-head", "5 s"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("5 s is neither seconds"), std::string::npos) << r.err;
    // A head or a window past the end judges nothing, and says so (a
    // timecode written as the stream's, which times do not count from).
    make("tc.mov", {"-i", "clean.mp4", "-c", "copy", "-timecode", "10:00:00:00"});
    writeFile(dir_.file("late.toml"),
              "name = \"late\"\n[[rule]]\nid = \"b\"\nevent = \"black\"\n"
              "severity = \"error\"\nfrom = \"10:00:00:05\"\n");
    const std::string counted =
        "; times count from the start of the input, not from its "
        "timecode 10:00:00:00\n";
    // The end of a live input, or of a stream that declares neither its
    // duration nor its frames, is not known until it comes: no tail is left
    // out, and the run says so.
    make("clean.y4m", {"-i", "clean.mp4", "-pix_fmt", "yuv420p"});
    make("clean.h264", {"-i", "clean.mp4", "-c", "copy", "-f", "h264"});
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::string fed = "";  // standard input
    } unjudged[] = {
        {{"check", "tc.mov", "--ignore-head", "10:00:00:05"},
         "lumaqc: the ignored head (10:00:00:05) covers the whole of tc.mov (1.00 s): no rule "
         "judged a frame" +
             counted},
        {{"tc.mov", "--quiet", "--no-log", "--profile", "late.toml"},
         "lumaqc: rule 'b' judged no frame of tc.mov: its from (10:00:00:05) lies after the "
         "input's end (1.00 s)" +
             counted},
        {{"check", "clean.mp4", "--profile", "late.toml"},
         "lumaqc: rule 'b' judged no frame of clean.mp4: its from (10:00:00:05) lies after the "
         "input's end (1.00 s)\n"},
        {{"check", "clean.mp4", "--ignore-head", "0.5", "--ignore-tail", "0.5"},
         "lumaqc: the ignored head (0.5) and tail (0.5) cover the whole of clean.mp4 (1.00 s): no "
         "rule judged a frame\n"},
        {{"check", "tc.mov", "--ignore-head", "00:00:00:05"}, ""},
        {{"-", "--quiet", "--no-log", "--profile", "default", "--ignore-tail", "0.5"},
         "lumaqc: standard input: ignore_tail (0.5) does not apply to a live input, whose end is "
         "not known before it comes: every frame is judged\n",
         readFile(dir_.file("clean.y4m"))},
        {{"check", "clean.h264", "--ignore-tail", "0.5"},
         "lumaqc: clean.h264: ignore_tail (0.5) does not apply to an input that declares neither "
         "its duration nor its frames, whose end is not known before it comes: every frame is "
         "judged\n"},
    };
    for (const auto& c : unjudged) {
        r = c.fed.empty() ? runLumaqc(c.args, dir_.path())
                          : runLumaqcFed(c.args, dir_.path(), c.fed);
        EXPECT_EQ(r.status, 0) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
}

class Decisions : public FfmpegTest {
  protected:
    // A testsrc2 clip of `seconds` at 25 frames/s, with the filters `filters`
    // (a -filter_complex graph), encoded with x264 at CRF 20.
    void testsrc(const std::string& name, const std::string& size, int seconds,
                 const std::string& filters, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{
            "-f", "lavfi", "-i",
            "testsrc2=size=" + size + ":rate=25:duration=" + std::to_string(seconds)};
        if (!filters.empty()) args.insert(args.end(), {"-filter_complex", filters});
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"-c:v", "libx264", "-crf", "20", "-pix_fmt", "yuv420p", name});
        ffmpeg(args);
    }

    Json json(const std::string& name) { return Json::parse(readFile(dir_.file(name))); }
};

// Frames of an event, with a tolerance of two frames.
void expectNear(const Json& event, int first, int last) {
    EXPECT_NEAR(event["first_frame"].get<int>(), first, 2) << event.dump();
    EXPECT_NEAR(event["last_frame"].get<int>(), last, 2) << event.dump();
}

TEST_F(Decisions, DefectsFailTheFile) {
    // Black from frame 50 to 112 (2.52 s), the picture of frame 150 held to frame 224 (3 s).
    testsrc("defects.mp4", "320x240", 10,
            "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='between(n,50,112)',split[a][b];"
            "[a][b]freezeframes=first=150:last=224:replace=150");
    const RunResult defects = runLumaqc({"defects.mp4", "--quiet", "--no-log", "--json", "d.json",
                                         "--profile", "default", "--events", "events.jsonl"},
                                        dir_.path());
    ASSERT_EQ(defects.status, 1) << defects.err;
    EXPECT_EQ(defects.err, "");
    const Json doc = json("d.json");
    EXPECT_EQ(doc["verdict"],
              Json::parse(R"({"result": "fail", "errors": 2, "warnings": 0, "infos": 0})"));
    ASSERT_EQ(doc["events"].size(), 2u) << doc["events"].dump();
    const Json& black = doc["events"][0];
    const Json& freeze = doc["events"][1];
    EXPECT_EQ(black["type"], "black");
    EXPECT_EQ(black["severity"], "error");
    EXPECT_EQ(black["ebu_item"]["name"], "Constant Colour Frames");
    expectNear(black, 50, 112);
    EXPECT_EQ(freeze["type"], "freeze");
    EXPECT_EQ(freeze["rule"], "freeze_error");
    expectNear(freeze, 150, 224);
    EXPECT_DOUBLE_EQ(freeze["start_seconds"].get<double>(),
                     freeze["first_frame"].get<int>() / 25.0);
    EXPECT_EQ(doc["frames"][100]["time"], 4.0);
    const std::string builtIn = runLumaqc({"--print-profile"}, dir_.path()).out;
    size_t rules = 0;
    for (size_t at = builtIn.find("\n[[rule]]"); at != std::string::npos;
         at = builtIn.find("\n[[rule]]", at + 1)) {
        ++rules;
    }
    EXPECT_EQ(doc["profile"]["rules"].size(), rules);
    // Each rule says what it tests: its threshold and what that is compared
    // with, or the keys of its condition.
    const struct {
        const char* id;
        const char* keys;
    } said[] = {
        {"black_error",
         R"({"threshold": null, "max_level": 32, "min_share": 98.0, "in_leader": false})"},
        {"freeze_error",
         R"({"threshold": 1.0, "direction": "below", "measure": "temporal_activity"})"},
        {"luma_levels", R"({"threshold": 1.0, "direction": "above",
                            "measure": "percent_outside_levels", "low": 5, "high": 246})"},
        {"blocking_quantiser", R"({"threshold": 38.0, "measure": "quantiser"})"},
        {"scan_type", R"({"threshold": 10.0, "measure": "percent_woven_frames"})"},
        {"blur", R"({"threshold": 1.6, "measure": "blur", "relative": true})"},
        {"truncated", R"({"threshold": null, "direction": null, "indicator": null})"},
    };
    for (const auto& [id, keys] : said) {
        Json rule;
        for (const Json& r : doc["profile"]["rules"]) {
            if (r["id"] == id) rule = r;
        }
        const Json expected = Json::parse(keys);
        for (const auto& [key, value] : expected.items()) {
            EXPECT_EQ(rule[key], value) << id << " " << key;
        }
        EXPECT_EQ(rule.contains("measure"), !rule["threshold"].is_null()) << id;
    }
    EXPECT_NE(defects.out.find("\nQC verdict: FAIL (profile default): 2 errors, 0 warnings\n  "
                               "error black (black_error), 00:00:02:00-"),
              std::string::npos)
        << defects.out;

    // The events as they happened: each opens as a warning, escalates, closes.
    std::vector<std::string> records;
    Json closed = Json::array();
    for (const std::string& line : splitLines(readFile(dir_.file("events.jsonl")))) {
        Json record = Json::parse(line);
        records.push_back(record["record"].get<std::string>() + " " +
                          record.value("rule", std::string()));
        if (record["record"] == "close") {
            record.erase("record");
            closed.push_back(record);
        }
    }
    EXPECT_EQ(closed, doc["events"]);
    EXPECT_EQ(records, (std::vector<std::string>{"open black_warning", "escalate black_error",
                                                 "close black_error", "open freeze_warning",
                                                 "escalate freeze_error", "close freeze_error",
                                                 "verdict "}));
}

TEST_F(Decisions, WarningsFailOnlyWhenAskedTo) {
    // Blurred from 1 s on: a blur warning, no error.
    testsrc("blurred.mp4", "320x240", 3, "gblur=sigma=3:enable='gte(t,1)'");
    const std::vector<std::string> run{"blurred.mp4", "--quiet", "--no-log", "--profile",
                                       "default"};
    const RunResult passes = runLumaqc(run, dir_.path());
    EXPECT_EQ(passes.status, 0);
    EXPECT_NE(passes.out.find("QC verdict: PASS (profile default): 0 errors, 1 warning\n  warning "
                              "blur (blur), 00:00:01:00-00:00:03:00 (1.000-3.000 s), frames 25-74: "
                              "blur above 1.6 times the file's own level for 2.00 s"),
              std::string::npos)
        << passes.out;
    std::vector<std::string> strict = run;
    strict.insert(strict.end(), {"--fail-on", "warning"});
    EXPECT_EQ(runLumaqc(strict, dir_.path()).status, 1);
}

TEST_F(Decisions, DamagedStreamIsAnalysedToItsEnd) {
    testsrc("clean.ts", "320x240", 4, "", {"-g", "25", "-x264-params", "slices=4", "-f", "mpegts"});
    // Scramble the payload of three 188-byte packets in six places.
    std::string ts = readFile(dir_.file("clean.ts"));
    uint32_t seed = 7;
    for (int hit = 1; hit <= 6; ++hit) {
        const size_t packet = ts.size() / 188 * hit / 7;
        for (size_t i = packet * 188 + 4; i < (packet + 3) * 188; ++i) {
            seed = seed * 1103515245u + 12345u;
            if (i % 188 >= 4) ts[i] = static_cast<char>(seed >> 24);
        }
    }
    writeFile(dir_.file("damaged.ts"), ts);
    const RunResult counted =
        runProgram(findInPath("ffprobe"),
                   {"-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                    "stream=nb_read_frames", "-of", "csv=p=0", "damaged.ts"},
                   dir_.path());
    const int decodable = std::atoi(counted.out.c_str());

    // Without a profile the damage ends the run, as always.
    const RunResult stops =
        runLumaqc({"damaged.ts", "--quiet", "--no-log", "--json", "s.json"}, dir_.path());
    EXPECT_EQ(stops.status, 255);
    EXPECT_LT(json("s.json")["frames_analysed"].get<int>(), decodable);

    const RunResult goesOn =
        runLumaqc({"damaged.ts", "--quiet", "--no-log", "--json", "d.json", "--profile", "default"},
                  dir_.path());
    // Under a profile the damage is in the verdict: the file fails (status 1).
    EXPECT_EQ(goesOn.status, 1);
    const Json doc = json("d.json");
    EXPECT_EQ(doc["frames_analysed"], decodable);
    EXPECT_EQ(doc["complete"], true);
    int errors = 0;
    for (const Json& e : doc["events"]) {
        EXPECT_TRUE(e["type"] == "decode_error" || e["type"] == "frames_lost") << e.dump();
        EXPECT_EQ(e["severity"], "error");
        if (e["type"] == "decode_error") errors += e["decode_errors"].get<int>();
    }
    EXPECT_GT(errors, 0);
    EXPECT_EQ(doc["decode_errors"]["count"], errors);
    // The error stream: at most three reports, then a count, then the sum.
    const std::vector<std::string> lines = splitLines(goesOn.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 5u) << goesOn.err;
    EXPECT_EQ(
        lines.back().rfind(
            "lumaqc: damaged.ts is damaged: " + std::to_string(errors) + " decoding error", 0),
        0u)
        << goesOn.err;
    // `check` tells damage and a file cut short by their events, or, under a
    // profile without decode_error and truncated rules (which passes the
    // file), by the program's line.
    writeFile(dir_.file("black.toml"),
              "name = \"b\"\n[[rule]]\nid = \"b\"\nevent = \"black\"\nseverity = \"error\"\n");
    testsrc("whole.mkv", "160x120", 2, "");
    const std::string whole = readFile(dir_.file("whole.mkv"));
    writeFile(dir_.file("cut.mkv"), whole.substr(0, whole.size() / 2));
    for (const auto& [file, profile, status, told] :
         {std::tuple{"damaged.ts", "default", 1, std::string()},
          std::tuple{"damaged.ts", "black.toml", 0, lines.back() + "\n"},
          std::tuple{"cut.mkv", "default", 1, std::string()},
          std::tuple{"cut.mkv", "black.toml", 0, std::string("Error decoding frame ")}}) {
        const RunResult checked = runLumaqc({"check", file, "--profile", profile}, dir_.path());
        EXPECT_EQ(checked.status, status) << file << " " << profile;
        EXPECT_EQ(checked.err.substr(0, told.size()), told) << file << " " << profile;
        EXPECT_EQ(checked.err.empty(), told.empty()) << checked.err;
    }
}

TEST_F(Decisions, VariableFrameRateTimesAreTheStreamsTimestamps) {
    // 10 frames/s for 3.2 s, then 50 frames/s; black from 3.2 s for 4 s.
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "252", "-vf",
            "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='between(n,32,231)',"
            "settb=1/1000,setpts='if(lt(N,32),N/10,3.2+(N-32)/50)/TB'",
            "-fps_mode", "passthrough", "-enc_time_base:v", "1/1000", "-c:v", "libx264",
            "vfr.mkv"});
    const RunResult probed = runProgram(findInPath("ffprobe"),
                                        {"-v", "error", "-select_streams", "v", "-show_entries",
                                         "frame=pts_time", "-of", "csv=p=0", "vfr.mkv"},
                                        dir_.path());
    std::vector<double> times;  // one line per frame (ffprobe adds an empty one after the first)
    for (const std::string& line : splitLines(probed.out)) {
        if (!line.empty()) times.push_back(std::atof(line.c_str()));
    }
    ASSERT_EQ(runLumaqc({"vfr.mkv", "--quiet", "--no-log", "--json", "v.json", "--profile",
                         "default", "--csv", "v.csv"},
                        dir_.path())
                  .status,
              1);
    const Json doc = json("v.json");
    ASSERT_EQ(doc["frames"].size(), times.size());
    const std::vector<std::string> csv = splitLines(readFile(dir_.file("v.csv")));
    ASSERT_EQ(csv.size(), times.size() + 1);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_NEAR(doc["frames"][i]["time"].get<double>(), times[i], 1e-9) << i;
        char line[64];  // the CSV's time column: six decimals of the same time
        std::snprintf(line, sizeof line, "%zu,%.6f,", i, times[i]);
        EXPECT_EQ(csv[i + 1].rfind(line, 0), 0u) << csv[i + 1];
    }
    ASSERT_EQ(doc["events"].size(), 1u);
    EXPECT_NEAR(doc["events"][0]["start_seconds"].get<double>(), 3.2, 1e-9);
    EXPECT_NEAR(doc["events"][0]["end_seconds"].get<double>(), 7.2, 1e-9);
}

}  // namespace
