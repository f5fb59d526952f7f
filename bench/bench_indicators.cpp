// Google Benchmark cases: every indicator, the whole frame, the reference
// compositions and the QC picture measures at 1920x1080 and 3840x2160, on the test card's textured
// scene, with a memcpy, a summing pass and one AVX2 read pass over the luma plane (the floor of any
// analysis that reads the plane) as yardsticks.
//
//   lumaqc_bench [--benchmark_filter=REGEX] [benchmark options]
//
// LUMAQC_SIMD forces a vector target as for lumaqc. LUMAQC_BENCH_YUV=FILE
// with LUMAQC_BENCH_SIZE=WxH benchmarks two consecutive frames of a raw
// YUV 4:2:0 clip instead of the test card (at that size only), and blur over
// the clip's first frames in order (Sequence/blur).
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "indicators/registry.h"
#include "qc/conditions.h"
#include "qc/detector.h"
#include "qc/picture_measures.h"
#include "qc/profile.h"
#include "reference/reference.h"
#include "testcard/testcard.h"
#include "tools/simd.h"

using namespace lumaqc;

namespace {

// Two consecutive frames of one size and the temporal state between them.
struct BenchFrames {
    int32_t w = 0;
    int32_t h = 0;
    std::string label;  // "1920x1080"
    std::vector<uint8_t> previous;
    std::vector<uint8_t> current;
    std::vector<std::vector<uint8_t>> sequence;  // a clip's first frames, in order
    Image prevImage{};
    Image curImage{};
};

// The textured, scrolling scene of the test card (its first scene), frames 3
// and 4: natural-looking detail and motion between the two.
constexpr int kCardFrame = 4;

std::unique_ptr<BenchFrames> cardFrames(int32_t w, int32_t h) {
    auto f = std::make_unique<BenchFrames>();
    f->w = w;
    f->h = h;
    f->label = std::to_string(w) + "x" + std::to_string(h);
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    f->previous.resize(n);
    f->current.resize(n);
    renderTestcardFrame(kCardFrame - 1, w, h, f->previous.data());
    renderTestcardFrame(kCardFrame, w, h, f->current.data());
    return f;
}

// Frames of a clip that Sequence/blur walks through in order.
constexpr int kSequenceFrames = 64;

// Frames 0 and 1 of a raw clip (and its first frames in `sequence`); nullptr (with a message) when
// it cannot be read.
std::unique_ptr<BenchFrames> clipFrames(const char* path, const char* size) {
    int w = 0;
    int h = 0;
    if (std::sscanf(size, "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0) {
        std::fprintf(stderr, "LUMAQC_BENCH_SIZE must be WIDTHxHEIGHT\n");
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "Cannot open %s\n", path);
        return nullptr;
    }
    auto f = std::make_unique<BenchFrames>();
    f->w = w;
    f->h = h;
    f->label = std::string(size) + "-clip";
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const long frameBytes = static_cast<long>((static_cast<int64_t>(w) * h * 3) / 2);
    f->previous.resize(n);
    f->current.resize(n);
    const bool ok = std::fread(f->previous.data(), 1, n, file) == n &&
                    std::fseek(file, frameBytes, SEEK_SET) == 0 &&
                    std::fread(f->current.data(), 1, n, file) == n;
    for (int k = 0; ok && k < kSequenceFrames; ++k) {
        std::vector<uint8_t> frame(n);
        if (std::fseek(file, frameBytes * k, SEEK_SET) != 0 ||
            std::fread(frame.data(), 1, n, file) != n)
            break;
        f->sequence.push_back(std::move(frame));
    }
    std::fclose(file);
    if (!ok) {
        std::fprintf(stderr, "%s holds fewer than two %s frames\n", path, size);
        return nullptr;
    }
    return f;
}

void finish(BenchFrames& f) {
    f.prevImage = Image{f.w, f.h, f.previous.data()};
    f.curImage = Image{f.w, f.h, f.current.data()};
}

void setRates(benchmark::State& state, const BenchFrames& f) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * f.w * f.h);
    state.counters["fps"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void benchMemcpy(benchmark::State& state, const BenchFrames* f) {
    std::vector<uint8_t> copy(f->current.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), f->current.data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    setRates(state, *f);
}

void benchSum(benchmark::State& state, const BenchFrames* f) {
    for (auto _ : state) {
        uint64_t sum = 0;
        for (uint8_t v : f->current) sum += v;
        benchmark::DoNotOptimize(sum);
    }
    setRates(state, *f);
}

// One read of the plane with AVX2 loads, summed so that nothing is skipped:
// the least any analysis reading every sample once can cost.
__attribute__((target("avx2"))) uint64_t readPassAvx2(const uint8_t* data, size_t n) {
    __m256i acc = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(v, _mm256_setzero_si256()));
    }
    uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), acc);
    uint64_t sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; i < n; ++i) sum += data[i];
    return sum;
}

void benchReadAvx2(benchmark::State& state, const BenchFrames* f) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(readPassAvx2(f->current.data(), f->current.size()));
    }
    setRates(state, *f);
}

// One indicator, or its plain composition, as the frame loop calls it: a
// temporal state of its own, blur's hint carried from call to call; with
// `changes`, where temporal activity leaves flickering's block changes; with
// `shared`, the frame's block statistics already there (the indicator's own
// work when another one has computed them).
void benchCompute(benchmark::State& state, const BenchFrames* f,
                  double (*compute)(const FrameContext&), bool changes, bool shared, bool roberts) {
    TemporalState temporal = createTemporalState(f->w, f->h);
    BlurState hint;
    const FrameValues values{};
    std::vector<uint8_t> blocks(changes ? flickeringBlocks(f->w, f->h) : 0);
    FrameContext frame{&f->curImage,
                       &f->prevImage,
                       &temporal,
                       &hint,
                       25.0,
                       &values,
                       changes ? blocks.data() : nullptr};
    BlockStats stats;
    if (shared) computeBlockStats(f->curImage, stats);
    frame.blockStats = shared ? &stats : nullptr;
    // With `roberts`, spatial activity leaves block loss's energies (block
    // loss finds them there, made once before).
    RobertsShare energies;
    if (roberts) spatialActivity(f->curImage, energies);
    frame.roberts = roberts ? &energies : nullptr;
    for (auto _ : state) {
        benchmark::DoNotOptimize(compute(frame));
    }
    setRates(state, *f);
    freeTemporalState(temporal);
}

// The one walk whose sums blockiness, interlace and slice share.
void benchStructure(benchmark::State& state, const BenchFrames* f) {
    StructureSums sums;
    for (auto _ : state) {
        computeStructureSums(f->curImage, sums);
        benchmark::DoNotOptimize(sums.combedGroups);
    }
    setRates(state, *f);
}

// Blur over a clip's frames in order, its hint carried from frame to frame
// as in the frame loop: the time per frame includes the frames whose edge
// step falls below the previous one's. Each frame is first copied (untimed)
// into one picture, as the frame loop reads it into its slot.
void benchBlurSequence(benchmark::State& state, const BenchFrames* f) {
    BlurState hint;
    std::vector<uint8_t> slot(f->current.size());
    const Image image{f->w, f->h, slot.data()};
    size_t k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(slot.data(), f->sequence[k].data(), slot.size());
        k = k + 1 == f->sequence.size() ? 0 : k + 1;
        state.ResumeTiming();
        benchmark::DoNotOptimize(blur(image, hint));
    }
    setRates(state, *f);
}

// The structure walk that also sums the blocks, as a frame's first
// indicator makes it.
void benchStructureStats(benchmark::State& state, const BenchFrames* f) {
    StructureSums sums;
    BlockStats stats;
    for (auto _ : state) {
        computeStructureSums(f->curImage, sums, &stats);
        benchmark::DoNotOptimize(stats.sum);
    }
    setRates(state, *f);
}

// The block statistics that noise, contrast, exposure and blackout share.
void benchBlockStats(benchmark::State& state, const BenchFrames* f) {
    BlockStats stats;
    for (auto _ : state) {
        computeBlockStats(f->curImage, stats);
        benchmark::DoNotOptimize(stats.sum);
    }
    setRates(state, *f);
}

// All fifteen indicators of one frame, as the single-thread frame loop runs
// them: the engine's two pictures hold the two frames and take turns.
void benchFrame(benchmark::State& state, const BenchFrames* f) {
    Engine engine(f->w, f->h, 25.0, CLOCK_PROCESS_CPUTIME_ID);
    std::memcpy(engine.input().data, f->previous.data(), f->previous.size());
    engine.analyze();
    std::memcpy(engine.input().data, f->current.data(), f->current.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine.analyze().data());
    }
    setRates(state, *f);
}

// The QC measures of a picture as a profile run takes them (the fields
// against the previous picture, the block edges left out), counting `levels`.
void benchMeasures(benchmark::State& state, const BenchFrames* f, qc::LumaLevels levels) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(qc::measurePicture(f->current.data(), f->w, f->h, f->w,
                                                    f->previous.data(), f->w, false, levels));
    }
    setRates(state, *f);
}

// The event detector fed a blurred frame under a profile of `rules` blur rules
// of as many event types, each naming two others in not_during: what the
// cross-talk costs a frame as a profile grows.
void benchNotDuring(benchmark::State& state, int rules) {
    std::string text = "name = \"cross-talk\"\n";
    for (int i = 0; i < rules; ++i) {
        text +=
            "[[rule]]\nid = \"r" + std::to_string(i) + "\"\nindicator = \"blur\"\nevent = \"t" +
            std::to_string(i) + "\"\nthreshold = " + std::to_string(100 + i) +
            ".0\ndirection = \"above\"\nmin_duration = 1.0\nseverity = \"warning\"\nnot_during = [";
        text += "\"t" + std::to_string((i + 1) % rules) + "\", \"t" +
                std::to_string((i + 2) % rules) + "\"";
        text += "]\n";
    }
    std::string error;
    const std::optional<qc::Profile> profile = qc::parseProfile(text, "bench", error);
    if (!profile) {
        state.SkipWithError(error.c_str());
        return;
    }
    qc::EventDetector detector(*profile, 25.0);
    FrameValues values{};
    values[kBlur] = 1000.0;  // beyond every threshold: each rule asks its not_during
    values[kTemporalActivity] = 10.0;
    values[kSpatialActivity] = 40.0;
    int64_t index = 0;
    for (auto _ : state) {
        qc::FrameInput frame;
        frame.index = index;
        frame.seconds = static_cast<double>(index) / 25.0;
        frame.values = &values;
        frame.first = index == 0;
        detector.feed(frame);
        ++index;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (!applySimdEnvironment(error)) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    benchmark::AddCustomContext("simd", activeSimdTarget());

    std::vector<std::unique_ptr<BenchFrames>> sizes;
    const char* clip = std::getenv("LUMAQC_BENCH_YUV");
    if (clip != nullptr && *clip != '\0') {
        const char* size = std::getenv("LUMAQC_BENCH_SIZE");
        auto f = clipFrames(clip, size != nullptr ? size : "");
        if (!f) return -1;
        sizes.push_back(std::move(f));
    } else {
        sizes.push_back(cardFrames(1920, 1080));
        sizes.push_back(cardFrames(3840, 2160));
    }

    for (auto& f : sizes) {
        finish(*f);
        const BenchFrames* p = f.get();
        const std::string& s = p->label;
        benchmark::RegisterBenchmark(("Yardstick/memcpy/" + s).c_str(), benchMemcpy, p)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Yardstick/sum/" + s).c_str(), benchSum, p)
            ->Unit(benchmark::kMicrosecond);
        if (__builtin_cpu_supports("avx2"))
            benchmark::RegisterBenchmark(("Yardstick/read_avx2/" + s).c_str(), benchReadAvx2, p)
                ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Frame/all/" + s).c_str(), benchFrame, p)
            ->Unit(benchmark::kMicrosecond);
        for (const IndicatorInfo& info : indicatorRegistry()) {
            if (info.id == kFreezing) continue;  // a comparison of two values, nothing to time
            benchmark::RegisterBenchmark((std::string("Indicator/") + info.key + "/" + s).c_str(),
                                         benchCompute, p, info.compute, false, false, false)
                ->Unit(benchmark::kMicrosecond);
        }
        if (!p->sequence.empty())
            benchmark::RegisterBenchmark(("Sequence/blur/" + s).c_str(), benchBlurSequence, p)
                ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Indicator/block_stats/" + s).c_str(), benchBlockStats, p)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Indicator/structure/" + s).c_str(), benchStructure, p)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Indicator/structure+block_stats/" + s).c_str(),
                                     benchStructureStats, p)
            ->Unit(benchmark::kMicrosecond);
        for (const IndicatorId id : {kNoise, kContrast, kExposure, kBlackout}) {
            benchmark::RegisterBenchmark(
                (std::string("Indicator/") + indicatorKey(id) + "+stats/" + s).c_str(),
                benchCompute, p, indicatorInfo(id).compute, false, true, false)
                ->Unit(benchmark::kMicrosecond);
        }
        // As in a frame, with the block statistics already there.
        for (const IndicatorId id : {kSpatialActivity, kBlockLoss}) {
            benchmark::RegisterBenchmark(
                (std::string("Indicator/") + indicatorKey(id) + "+roberts/" + s).c_str(),
                benchCompute, p, indicatorInfo(id).compute, false, true, true)
                ->Unit(benchmark::kMicrosecond);
        }
        // The pass the frame loops make: temporal activity with flickering's
        // block changes (flickering then only updates its state).
        benchmark::RegisterBenchmark(("Indicator/temporal_activity+changes/" + s).c_str(),
                                     benchCompute, p, indicatorInfo(kTemporalActivity).compute,
                                     true, false, false)
            ->Unit(benchmark::kMicrosecond);
        // Every level (the histogram), the default profile's, sixteen.
        qc::LumaLevels sixteen;
        for (int v = 0; v < 16; ++v) sixteen.add(8 + 15 * v);
        const std::pair<const char*, qc::LumaLevels> levelSets[] = {
            {"every_level", qc::LumaLevels::every()},
            {"default_profile", qc::lumaLevelsOf(qc::defaultProfile())},
            {"16_levels", sixteen}};
        for (const auto& [name, levels] : levelSets) {
            benchmark::RegisterBenchmark((std::string("Qc/measures/") + name + "/" + s).c_str(),
                                         benchMeasures, p, levels)
                ->Unit(benchmark::kMicrosecond);
        }
        for (const reference::ReferenceInfo& r : reference::registry()) {
            benchmark::RegisterBenchmark(
                (std::string("Reference/") + indicatorKey(r.id) + "/" + s).c_str(), benchCompute, p,
                r.compute, false, false, false)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    for (const int rules : {4, 16, 64}) {
        benchmark::RegisterBenchmark(("Qc/not_during/" + std::to_string(rules) + "_rules").c_str(),
                                     benchNotDuring, rules)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
