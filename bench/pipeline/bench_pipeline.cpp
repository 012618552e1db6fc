// Frames through the surface pipeline: a full-screen 1920x1080 RFX7 update (510 tiles, quantisers
// 6,6,6,6,7,7,8,8,8,9) decoded on the decode pool, composed and applied to the surface, and a
// scrolling frame (a same-surface copy by 16 rows plus a new 16-row strip). Beside them the pure
// tile decode of the same frame on the same number of threads, so that the summary can print what
// the pipeline costs beyond decoding, and how the frame rate grows with the pool.

#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/surfaces/VnSurfacePipeline.h"

#include <QGuiApplication>
#include <QThreadPool>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kScroll = 16;
const std::vector<int> kThreadCounts = {1, 2, 4};

struct Frames {
    Protocol::TileList full;  // every tile of the screen
    Protocol::TileList strip; // the bottom row of tiles, for the strip a scroll uncovers
};

const Frames& frames() {
    static const Frames f = [] {
        Frames fr;
        const int paddedHeight = (kHeight + 63) / 64 * 64;
        std::vector<std::uint32_t> image = rfx7DesktopImage(kWidth, kHeight);
        image.resize(std::size_t(kWidth) * paddedHeight, image.back());
        for (int y = 0; y < paddedHeight; y += 64) {
            for (int x = 0; x < kWidth; x += 64) {
                Protocol::Tile tile{std::int16_t(x), std::int16_t(y),
                                    encodeRfx7Tile(image.data() + std::size_t(y) * kWidth + x, kWidth * 4,
                                                   kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant,
                                                   Rfx7Alpha::Omit)};
                if (y + 64 >= kHeight) {
                    fr.strip.push_back(tile);
                }
                fr.full.push_back(std::move(tile));
            }
        }
        return fr;
    }();
    return f;
}

Protocol::Rect rect(int x, int y, int width, int height) {
    return Protocol::Rect{std::int16_t(x), std::int16_t(y), std::uint16_t(width), std::uint16_t(height)};
}

// The pure decode: the frame's tiles taken one by one by the threads of a pool, each thread with
// its own work buffer, writing straight into one frame buffer.
void decodeFrame(benchmark::State& state) {
    const int threads = int(state.range(0));
    const Protocol::TileList& tiles = frames().full;
    std::vector<std::uint32_t> output(std::size_t(kWidth) * ((kHeight + 63) / 64 * 64));
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    for (auto _ : state) {
        std::atomic<std::size_t> next{0};
        for (int t = 0; t < threads; ++t) {
            pool.start([&tiles, &output, &next] {
                thread_local Rfx7WorkBuffer work;
                for (std::size_t i = next++; i < tiles.size(); i = next++) {
                    const Protocol::Tile& tile = tiles[i];
                    auto* destination = reinterpret_cast<std::uint8_t*>(
                        output.data() + std::size_t(tile.y) * kWidth + tile.x);
                    decodeRfx7Tile(work, tile.data.data(), tile.data.size(), kRfx7TypicalQuant,
                                   kRfx7TypicalQuant, kRfx7TypicalQuant, nullptr, destination, kWidth * 4);
                }
            });
        }
        pool.waitForDone();
        benchmark::ClobberMemory();
    }
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// A session's pipeline with its surface map, the main surface created and applied.
struct Session {
    Session(int threads, bool progressive) {
        // With codec 7 the progressive tile cache keeps every tile's coefficients as well.
        if (progressive) {
            pipeline.setNegotiatedCodecs({Protocol::Codecs::Rfx7, Protocol::Codecs::Rfx7Progressive});
        } else {
            pipeline.setNegotiatedCodecs({Protocol::Codecs::Rfx7});
        }
        pipeline.decodePool()->setMaxThreadCount(threads);
        pipeline.surfaceCreate(0, kWidth, kHeight);
        apply();
    }
    void apply() {
        pipeline.applyCommands(surfaces, changes);
        changes.clear(); // the controller's fan-out drains these each frame
    }

    VnSurfacePipeline pipeline;
    Surface::SurfaceMap surfaces;
    Surface::CommandList changes;
};

// Times what the network thread does per frame; copying the tiles (the parser hands them over) is
// outside the timing.
template <typename Frame>
void runFrames(benchmark::State& state, Frame frame, bool progressive = false) {
    Session session(int(state.range(0)), progressive);
    for (auto _ : state) {
        Protocol::TileList full = frames().full;
        Protocol::TileList strip = frames().strip;
        const auto start = std::chrono::steady_clock::now();
        frame(session, std::move(full), std::move(strip));
        session.apply();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void pipelineFrame(benchmark::State& state) {
    runFrames(state, [](Session& s, Protocol::TileList full, Protocol::TileList) {
        s.pipeline.rfx7Update(0, kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant,
                              {rect(0, 0, kWidth, kHeight)}, std::move(full), false);
    });
}

void pipelineFrameCached(benchmark::State& state) {
    runFrames(
        state,
        [](Session& s, Protocol::TileList full, Protocol::TileList) {
            s.pipeline.rfx7Update(0, kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant,
                                  {rect(0, 0, kWidth, kHeight)}, std::move(full), false);
        },
        true);
}

void pipelineScroll(benchmark::State& state) {
    runFrames(state, [](Session& s, Protocol::TileList, Protocol::TileList strip) {
        s.pipeline.surfaceCopy(0, {rect(0, kScroll, kWidth, kHeight - kScroll)}, 0,
                               Protocol::Offset{0, -kScroll});
        s.pipeline.rfx7Update(0, kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant,
                              {rect(0, kHeight - kScroll, kWidth, kScroll)}, std::move(strip), false);
    });
}

// Keeps each benchmark's seconds per frame for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> secondsPerFrame;

    // With repetitions the median counts; otherwise the one run.
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            if (median || (run.run_type == Run::RT_Iteration && run.iterations > 0 && !medians.count(name))) {
                secondsPerFrame[name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
                if (median) {
                    medians.insert(name);
                }
            }
        }
    }

private:
    std::set<std::string> medians;
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    for (int n : kThreadCounts) {
        benchmark::RegisterBenchmark("decode_frame", decodeFrame)
            ->Arg(n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("pipeline_frame", pipelineFrame)
            ->Arg(n)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("pipeline_frame_cached", pipelineFrameCached)
            ->Arg(n)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("pipeline_scroll", pipelineScroll)
            ->Arg(n)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    frames(); // encode outside the timings
    std::printf("frame %dx%d, %zu tiles (scroll: copy by %d rows and a %zu-tile strip)\n", kWidth, kHeight,
                frames().full.size(), kScroll, frames().strip.size());
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();

    std::printf("\n%-8s %10s %12s %14s %10s %14s %10s %11s\n", "threads", "decode ms", "pipeline ms",
                "beyond decode", "frame fps", "cached: beyond", "scroll ms", "scroll fps");
    double fps1 = 0;
    for (int n : kThreadCounts) {
        const std::string arg = std::to_string(n);
        const double decode = summary.secondsPerFrame["decode_frame/" + arg];
        const double pipeline = summary.secondsPerFrame["pipeline_frame/" + arg];
        const double cached = summary.secondsPerFrame["pipeline_frame_cached/" + arg];
        const double scroll = summary.secondsPerFrame["pipeline_scroll/" + arg];
        if (decode <= 0 || pipeline <= 0 || cached <= 0 || scroll <= 0) {
            continue;
        }
        if (n == 1) {
            fps1 = 1 / pipeline;
        }
        std::printf("%-8d %10.2f %12.2f %13.1f%% %10.1f %13.1f%% %10.2f %11.1f\n", n, decode * 1e3,
                    pipeline * 1e3, (pipeline - decode) / decode * 100, 1 / pipeline,
                    (cached - decode) / decode * 100, scroll * 1e3, 1 / scroll);
        if (n > 1 && fps1 > 0) {
            std::printf("%-8s frame rate %.2f times that of 1 thread\n", "", 1 / pipeline / fps1);
        }
    }
    return 0;
}
