// The built-in test card: a short deterministic YUV 4:2:0 clip whose scenes
// each provoke one kind of impairment on a textured, scrolling background.
//
// The luma of every frame is a pure function of the frame index and the
// picture size (integer arithmetic and a fixed-seed generator only), so the
// same bytes come out on every platform and build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumaqc {

// One stretch of consecutive frames; first and last are frame indices,
// both inclusive.
struct TestcardScene {
    const char* name;
    int first;
    int last;
};

// Smallest and largest accepted width and height.
inline constexpr int TESTCARD_MIN_SIZE = 16;
inline constexpr int TESTCARD_MAX_SIZE = 8192;

// Default picture size: CIF.
inline constexpr int TESTCARD_DEFAULT_WIDTH = 352;
inline constexpr int TESTCARD_DEFAULT_HEIGHT = 288;

// The scenes in frame order; they cover frames 0 .. testcardFrameCount() - 1
// without gaps.
const std::vector<TestcardScene>& testcardScenes();

// The scene that holds frame index, or nullptr when index is out of range.
const TestcardScene* testcardSceneOf(int index);

// Looks a scene up by name; nullptr when there is none.
const TestcardScene* findTestcardScene(const char* name);

int testcardFrameCount();

// Renders the w x h luma plane of frame index (0 <= index < frame count,
// w and h >= 1) into y, row-major with stride w. An index out of range gives
// an all-black plane.
void renderTestcardFrame(int index, int w, int h, uint8_t* y);

// Bytes per frame in the file: the luma plane followed by neutral chroma,
// (w * h * 3) / 2 in all, as a reader that derives the frame size this way
// expects, odd sizes included.
int64_t testcardFrameBytes(int w, int h);

// Writes the whole clip to path. On failure returns false and, when error is
// given, stores a one-line description of what went wrong.
bool writeTestcard(const char* path, int w, int h, std::string* error);

}  // namespace lumaqc
