// Example: the lumaqc library on a raw YUV 4:2:0 8-bit file.
//
//   lumaqc-example VIDEO.yuv WIDTH HEIGHT [FPS]
//
// Prints one comma-separated line per frame: the frame index and the fifteen
// values under their snake_case keys, then the frames flagged frozen or
// black. Only the library's public header is used.
#include <lumaqc/lumaqc.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s VIDEO.yuv WIDTH HEIGHT [FPS]\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const double fps = argc > 4 ? std::atof(argv[4]) : 25.0;
    FILE* video = std::fopen(argv[1], "rb");
    if (video == nullptr) {
        std::perror(argv[1]);
        return 1;
    }

    try {
        lumaqc::Analyzer analyzer(width, height, fps);

        // A whole frame is read at a time; the luma plane is its first
        // width x height bytes, rows `width` bytes apart.
        const size_t lumaBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
        std::vector<uint8_t> frame(lumaBytes * 3 / 2);

        std::printf("frame");
        for (int id = 0; id < lumaqc::kIndicatorCount; ++id) {
            std::printf(",%s", lumaqc::indicatorKey(static_cast<lumaqc::IndicatorId>(id)));
        }
        std::printf("\n");

        long frozen = 0;
        long black = 0;
        while (std::fread(frame.data(), 1, frame.size(), video) == frame.size()) {
            const lumaqc::FrameValues& values =
                analyzer.analyze(frame.data(), width, width, height);
            std::printf("%lld", static_cast<long long>(analyzer.frames() - 1));
            // Round-trip precision: the exact doubles the analyser returned.
            for (const double v : values) std::printf(",%.17g", v);
            std::printf("\n");
            frozen += values[lumaqc::kFreezing] == 1.0;
            black += values[lumaqc::kBlackout] == 1.0;
        }
        std::fclose(video);
        std::fprintf(stderr, "%lld frames with lumaqc %s: %ld flagged frozen, %ld black\n",
                     static_cast<long long>(analyzer.frames()), lumaqc::version(), frozen, black);
    } catch (const std::exception& e) {
        std::fclose(video);
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
