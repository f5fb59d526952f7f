// The built-in profile "default": its TOML text, which --print-profile shows
// with its comments, and the profile read from it.
#include "qc/profile.h"

namespace lumaqc::qc {

namespace {

// The built-in profile. Every threshold is calibrated on the clips listed in
// the README ("QC profiles"), with a margin over clean content.
const char* const kDefaultProfile = R"(# lumaqc QC profile (TOML). Copy it, edit it, and use it with
#   lumaqc VIDEO --profile FILE
#
# Each [[rule]] turns a condition into events:
#   id            unique name of the rule
#   event         "black", "freeze", "decode_error", "signal_loss",
#                 "frames_lost", "truncated", "scan_type", ...; for
#                 indicator rules the event type (default: derived from the
#                 indicator)
#   indicator     an indicator key (blockiness, blur, noise, interlace, ...)
#   threshold     indicator rules: the limit; freeze: the temporal activity up
#                 to which a picture counts as held (0: exact repeats only)
#   direction     "above" or "below": which side of the threshold is bad
#   min_duration  seconds the condition must last (per-frame rules)
#   statistic     rate a whole-file statistic instead of runs of frames:
#                 "mean", "min", "max", "p5", "p50" or "p95"
#   severity      "info", "warning" or "error"; any error fails the file
#   not_during    event types whose condition excludes a frame (cross-talk)
#   relative      true: the threshold is a factor over the file's own level
#                 of the indicator (its median over the last 10 s of frames
#                 the rule did not flag), for values watched above
#   grid_ratio,   blockiness statistics watched below: how far the block
#   grid_share    grid must stand out on the blocky pictures (median ratio
#                 of its small steps over the columns between, default 3;
#                 percent of its positions that step, default 0)
#   ebu_item      { id = "...", name = "..." }: the EBU QC test item (EBU Tech
#                 3363) the rule implements
# Rules that watch the same condition with different minimum durations make
# one event that takes the severity of the longest duration it reaches.
# Indicator rules ignore black pictures; statistics leave them out.
name = "default"
description = "Black and frozen pictures, decoding errors, interlaced content flagged progressive, and calibrated warnings for blocking, blur, noise, slice and block loss"

# Colour bars and test patterns are noted; the conditions they would raise
# (a held picture, blocking, slices) name them in not_during.
[[rule]]
id = "bars"
event = "bars"
min_duration = 0.5
severity = "info"

# Black as delivery requirements define it: 98 % of the picture at or below
# luma 32 (a logo or burnt-in timecode stays black). The leader (bars from
# the first frame, the black and still cards after them) is not judged.
[[rule]]
id = "black_warning"
event = "black"
max_level = 32
min_share = 98.0
min_duration = 0.5
severity = "warning"
in_leader = false
ebu_item = { name = "Constant Colour Frames" }

[[rule]]
id = "black_error"
event = "black"
max_level = 32
min_share = 98.0
min_duration = 2.0
severity = "error"
in_leader = false
ebu_item = { name = "Constant Colour Frames" }

# A held picture, not in the leader: its slate (a still card between the
# bars and black, up to 10 s) is held on purpose.
[[rule]]
id = "freeze_warning"
event = "freeze"
threshold = 1.0
min_duration = 0.5
severity = "warning"
not_during = ["bars"]
in_leader = false
ebu_item = { name = "Freeze Frames" }

[[rule]]
id = "freeze_error"
event = "freeze"
threshold = 1.0
min_duration = 2.0
severity = "error"
not_during = ["bars"]
in_leader = false
ebu_item = { name = "Freeze Frames" }

# Luma outside -5 % to 105 % of the video range (below 5 or above 246 in
# 8-bit limited range), EBU R 103's widest tolerance, on more than 1 % of
# the picture.
[[rule]]
id = "luma_levels"
event = "luma_levels"
low = 5
high = 246
threshold = 1.0
min_duration = 1.0
severity = "warning"
ebu_item = { name = "Luma Levels" }

[[rule]]
id = "decode_error"
event = "decode_error"
severity = "error"

# Frames missing from a constant-rate stream (a gap in its timestamps), and an
# input that ends before the duration its container declares.
[[rule]]
id = "frames_lost"
event = "frames_lost"
severity = "error"

[[rule]]
id = "truncated"
event = "truncated"
severity = "error"

# Live inputs (URLs, pipes): no picture for the stall timeout (--stall-timeout,
# 2 s by default); the event lasts until pictures come again.
[[rule]]
id = "signal_loss"
event = "signal_loss"
severity = "error"

# Blockiness falls as blocking gets worse; it depends much on the content
# (clean testsrc2 at 720x576 reads 0.16), so the file is rated by its worst
# 5 % of frames, for blocking the stream's quantiser does not tell (a blocky
# master transcoded, codecs whose decoders tell none). Pictures whose edges
# merely fall on the block grid (test patterns of flat squares) read low too:
# the file is rated only when, on its pictures that read blocky, small steps
# stand out on the 8-pixel grid against the columns between, on 2 % of its
# positions or more.
[[rule]]
id = "blocking"
indicator = "blockiness"
event = "blocking"
statistic = "p5"
threshold = 0.14
direction = "below"
severity = "warning"
not_during = ["bars"]
ebu_item = { name = "Blockiness" }

# Blocking that compression leaves in a file whose quantiser does not tell
# it (MJPEG at -q:v 20 to 31, blocky masters transcoded at CRF 18) reads
# higher (p5 0.14 to 0.43), but its grid stands out far more than on clean
# pictures (median ratio 4 to 160, steps on 19 % to 55 % of the grid
# positions; clean clips at most 2.8; gradients up to 7.9, but with steps of
# 1 or 2 levels, which do not count).
[[rule]]
id = "blocking_grid"
indicator = "blockiness"
event = "blocking"
statistic = "p5"
threshold = 0.45
direction = "below"
grid_ratio = 4.0
grid_share = 8.0
severity = "warning"
not_during = ["bars"]
ebu_item = { name = "Blockiness" }

# Blocking as the stream tells it: the pictures' mean quantiser on H.264's
# scale for 1 s (an MPEG-1/2/4 quantiser scale s reads 6 log2(1.6 s): MPEG-2
# at -q:v 31, s = 62, reads 39.8). Decoders of other codecs tell none.
[[rule]]
id = "blocking_quantiser"
event = "blocking"
threshold = 38.0
min_duration = 1.0
severity = "warning"
ebu_item = { name = "Blockiness" }

# Blur is a ramp width in pixels: it grows with the picture size (a picture
# scaled up reads wider ramps) and with the content (soft real scenes read
# 10-12 at SD). A stretch is blurred when it reads 1.6 times the file's own
# level of the last 10 s.
[[rule]]
id = "blur"
indicator = "blur"
event = "blur"
threshold = 1.6
relative = true
direction = "above"
min_duration = 1.0
severity = "warning"
ebu_item = { name = "Blurriness" }

# Fine texture (zone plates, cellular patterns) reads as noise too, on every
# frame and beyond what noise reads: in a file whose own level (the median
# over the last 10 s of frames not flagged) is above 55, a frame counts only
# when its noise is also 1.5 times that level.
[[rule]]
id = "noise"
indicator = "noise"
event = "noise"
threshold = 7.0
direction = "above"
min_duration = 1.0
severity = "warning"
ebu_item = { name = "Video Noise" }

# Interlaced content in a stream not declared interlaced: the two fields of
# more than 10 % of the frames that move show two instants (a second of such
# frames at least). Rated over the whole file; a stream declared interlaced
# is not judged (its combing is what it declares).
[[rule]]
id = "scan_type"
event = "scan_type"
threshold = 10.0
severity = "error"

[[rule]]
id = "slice_loss"
indicator = "slice"
event = "slice_loss"
threshold = 20.0
direction = "above"
min_duration = 0.2
severity = "warning"
not_during = ["bars"]

# Blur also reads as block loss (and so do woven fields: not judged there).
# Blocks are lost along their rows: a frame counts only when the sides of
# areas one or two blocks tall alone read above the threshold (flat shapes
# drawn on the grid run further down).
[[rule]]
id = "block_loss"
indicator = "block_loss"
event = "block_loss"
threshold = 12.0
direction = "above"
min_duration = 0.2
severity = "warning"
not_during = ["blur", "bars"]
)";

}  // namespace

const std::string& defaultProfileText() {
    static const std::string text = kDefaultProfile;
    return text;
}

const Profile& defaultProfile() {
    static const Profile profile = [] {
        std::string error;
        std::optional<Profile> parsed = parseProfile(defaultProfileText(), "default", error);
        return parsed ? *parsed : Profile{};
    }();
    return profile;
}

}  // namespace lumaqc::qc
