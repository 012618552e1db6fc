// Frames through the surface pipeline: a full-screen 1920x1080 RFX7 update (510 tiles, quantisers
// 6,6,6,6,7,7,8,8,8,9) decoded on the decode pool, composed and applied to the surface, and a
// scrolling frame (a same-surface copy by 16 rows plus a new 16-row strip). Each is measured twice:
// handed to the pipeline directly, and sent by the display-server simulator over loopback TCP to a
// connection on its own network thread, which applies at frame end and acknowledges (two frames in
// flight). Beside them the pure tile decode of the same frame on the same number of threads, so that
// the summary can print what the pipeline costs beyond decoding, and how the frame rate grows with
// the pool. The pure decode is also timed as bench_rfx7 times its threads (threads started once,
// going from frame to frame without waiting for each other), which shows what the per-frame wait
// of a pool costs.

#include "SimServer.h"
#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/VnServerConnection.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/surfaces/VnSurfacePipeline.h"
#include "viewer/engine/surfaces/VnWorkTeam.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMutex>
#include <QThread>
#include <QThreadPool>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
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

// CPU time of the whole process (every thread), in seconds: unlike wall time it does not depend on
// how many cores other work leaves free.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

Protocol::Rect rect(int x, int y, int width, int height) {
    return Protocol::Rect{std::int16_t(x), std::int16_t(y), std::uint16_t(width), std::uint16_t(height)};
}

// Rows on cache lines, as the pipeline's composed image and bench_rfx7's frame have them: tiles
// side by side on different threads never share a line.
struct alignas(64) CacheLine {
    std::uint32_t pixels[16];
};

std::vector<CacheLine> alignedFrame() {
    return std::vector<CacheLine>(std::size_t(kWidth) * ((kHeight + 63) / 64 * 64) / 16);
}

// The pure decode: the frame's tiles taken one by one by the pipeline's decode team on a pool of
// that many threads (the waiting thread taking part), each thread with its own work buffer, writing
// straight into one frame buffer; every frame waits for all of its tiles, as the pipeline's do.
void decodeFrame(benchmark::State& state) {
    const int threads = int(state.range(0));
    const Protocol::TileList& tiles = frames().full;
    std::vector<CacheLine> lines = alignedFrame();
    std::uint32_t* const output = lines.front().pixels;
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    VnWorkTeam team(pool);
    VnWorkTeam::Group frame(team, [&tiles, output](std::size_t i) {
        thread_local Rfx7WorkBuffer work;
        const Protocol::Tile& tile = tiles[i];
        auto* destination = reinterpret_cast<std::uint8_t*>(output + std::size_t(tile.y) * kWidth + tile.x);
        decodeRfx7Tile(work, tile.data.data(), tile.data.size(), kRfx7TypicalQuant, kRfx7TypicalQuant,
                       kRfx7TypicalQuant, nullptr, destination, kWidth * 4);
    });
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        frame.publish(tiles.size());
        frame.wait();
        benchmark::ClobberMemory();
    }
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = (processCpuSeconds() - cpuStart) * 1e3 / double(state.iterations());
}

// The pure decode as bench_rfx7 times its threads: the threads start once for a run of frames and
// take the next tile of the current frame, going on to the next frame without waiting for the others,
// so there is no wait per frame.
void decodeFrames(benchmark::State& state) {
    const int threads = int(state.range(0));
    const Protocol::TileList& tiles = frames().full;
    std::vector<CacheLine> lines = alignedFrame();
    std::uint32_t* const output = lines.front().pixels;
    constexpr int kFramesPerRun = 25;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        std::vector<std::atomic<std::size_t>> next(kFramesPerRun);
        std::vector<std::thread> workers;
        const auto start = std::chrono::steady_clock::now();
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&tiles, output, &next] {
                auto work = std::make_unique<Rfx7WorkBuffer>();
                for (std::atomic<std::size_t>& frame : next) {
                    for (std::size_t i = frame++; i < tiles.size(); i = frame++) {
                        const Protocol::Tile& tile = tiles[i];
                        auto* destination = reinterpret_cast<std::uint8_t*>(
                            output + std::size_t(tile.y) * kWidth + tile.x);
                        decodeRfx7Tile(*work, tile.data.data(), tile.data.size(), kRfx7TypicalQuant,
                                       kRfx7TypicalQuant, kRfx7TypicalQuant, nullptr, destination, kWidth * 4);
                    }
                }
            });
        }
        for (std::thread& w : workers) {
            w.join();
        }
        benchmark::ClobberMemory();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                               kFramesPerRun);
    }
    // Each iteration's time is per frame already.
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] =
        (processCpuSeconds() - cpuStart) * 1e3 / (double(state.iterations()) * kFramesPerRun);
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
    double cpu = 0;
    for (auto _ : state) {
        Protocol::TileList full = frames().full;
        Protocol::TileList strip = frames().strip;
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        frame(session, std::move(full), std::move(strip));
        session.apply();
        const auto end = std::chrono::steady_clock::now();
        cpu += processCpuSeconds() - cpuStart;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = cpu * 1e3 / double(state.iterations());
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

// The simulator and a connection on its own network thread; frame end applies the commands under a
// lock, as the session controller does.
class SimSession {
public:
    explicit SimSession(int threads) {
        DisplaySim::ServerOptions options;
        options.transport = DisplaySim::Transport::Tcp;
        options.capabilities = {DisplaySim::Entry::rfx7(), DisplaySim::Entry::codecList({2})};
        options.historyLimit = 8; // frames are large: keep no transcript to speak of
        server = std::make_unique<DisplaySim::Server>(options);
        connection = new VnServerConnection("Velnor", "bench", "secret");
        connection->decodePool()->setMaxThreadCount(threads);
        QObject::connect(
            connection, &VnServerConnection::gotFrameEnd, connection,
            [this] {
                QMutexLocker lock(&mutex);
                connection->applyCommands(surfaces, changes);
                changes.clear();
            },
            Qt::DirectConnection);
        connection->moveToThread(&thread);
        thread.start();
        for (const Protocol::Tile& t : frames().full) {
            tiles.append(
                {t.x, t.y, QByteArray(reinterpret_cast<const char*>(t.data.data()), int(t.data.size()))});
        }
        for (const Protocol::Tile& t : frames().strip) {
            strip.append(
                {t.x, t.y, QByteArray(reinterpret_cast<const char*>(t.data.data()), int(t.data.size()))});
        }
        for (int i = 0; i < 3; ++i) {
            for (int v = 0; v < 10; v += 2) {
                quantisers.append(
                    char((kRfx7TypicalQuant[v] & 0x0f) | ((kRfx7TypicalQuant[v + 1] & 0x0f) << 4)));
            }
        }
        if (!server->listen()) {
            return;
        }
        const QNetworkRequest request(server->url());
        QMetaObject::invokeMethod(connection, [this, request] { connection->connectToServer({request}); });
        if (!server->awaitMainSequence()) {
            return;
        }
        server->sendSurfaceCreate(0, kWidth, kHeight);
        ready = endFrame() && waitForAck(m_nextFrame - 1);
    }

    ~SimSession() {
        QMetaObject::invokeMethod(
            connection, [c = connection] { delete c; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    void sendFullFrame() {
        server->sendRfx7Update(0, false, quantisers, {{0, 0, kWidth, kHeight}}, tiles);
        endFrame();
    }

    void sendScrollFrame() {
        server->sendSurfaceCopy(0, {{0, kScroll, kWidth, kHeight - kScroll}}, 0, 0, -kScroll);
        server->sendRfx7Update(0, false, quantisers, {{0, kHeight - kScroll, kWidth, kScroll}}, strip);
        endFrame();
    }

    // Keeps at most `window` frames unacknowledged.
    bool throttle(int window) { return waitForAck(m_nextFrame - 1 - window); }
    bool drain() { return waitForAck(m_nextFrame - 1); }

    bool ready = false;

private:
    bool endFrame() {
        server->sendFrameEnd(m_nextFrame++);
        return true;
    }
    bool waitForAck(int frame) { return frame < 0 || server->awaitAck(quint16(frame), 10000); }

    std::unique_ptr<DisplaySim::Server> server;
    VnServerConnection* connection = nullptr;
    QThread thread;
    QMutex mutex;
    Surface::SurfaceMap surfaces;
    Surface::CommandList changes;
    QVector<DisplaySim::Tile> tiles;
    QVector<DisplaySim::Tile> strip;
    QByteArray quantisers;
    int m_nextFrame = 0;
};

template <typename Send>
void runSimFrames(benchmark::State& state, Send send) {
    SimSession session(int(state.range(0)));
    if (!session.ready) {
        state.SkipWithError("the simulator session did not start");
        return;
    }
    for (auto _ : state) {
        send(session);
        if (!session.throttle(2)) {
            state.SkipWithError("a frame was not acknowledged");
            return;
        }
    }
    session.drain();
    state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void simFrame(benchmark::State& state) {
    runSimFrames(state, [](SimSession& s) { s.sendFullFrame(); });
}

void simScroll(benchmark::State& state) {
    runSimFrames(state, [](SimSession& s) { s.sendScrollFrame(); });
}

// Keeps each benchmark's seconds per frame for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> secondsPerFrame;
    std::map<std::string, double> cpuMsPerFrame;

    // With repetitions the median counts; otherwise the one run.
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            if (median || (run.run_type == Run::RT_Iteration && run.iterations > 0 && !medians.count(name))) {
                secondsPerFrame[name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
                const auto cpu = run.counters.find("cpu_ms");
                if (cpu != run.counters.end()) {
                    cpuMsPerFrame[name] = cpu->second.value;
                }
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
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.connection.debug=false"));
    for (int n : kThreadCounts) {
        benchmark::RegisterBenchmark("decode_frame", decodeFrame)
            ->Arg(n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("decode_frames_unsynced", decodeFrames)
            ->Arg(n)
            ->UseManualTime()
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
        benchmark::RegisterBenchmark("sim_frame", simFrame)
            ->Arg(n)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("sim_scroll", simScroll)
            ->Arg(n)
            ->UseRealTime()
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

    auto perFrame = [&summary](const char* name, int threads) {
        return summary.secondsPerFrame[std::string(name) + "/" + std::to_string(threads)];
    };
    auto percentBeyond = [](double total, double decode) { return (total - decode) / decode * 100; };
    std::printf("\nPipeline alone (beyond decode: its time over the pure decode's, same threads)\n");
    std::printf("%-8s %10s %12s %14s %10s %8s %14s %10s %11s\n", "threads", "decode ms", "frame ms",
                "beyond decode", "frame fps", "vs 1", "cached: beyond", "scroll ms", "scroll fps");
    for (int n : kThreadCounts) {
        const double decode = perFrame("decode_frame", n);
        const double frame = perFrame("pipeline_frame", n);
        const double cached = perFrame("pipeline_frame_cached", n);
        const double scroll = perFrame("pipeline_scroll", n);
        const double frame1 = perFrame("pipeline_frame", 1);
        if (decode > 0 && frame > 0 && cached > 0 && scroll > 0 && frame1 > 0) {
            std::printf("%-8d %10.2f %12.2f %13.1f%% %10.1f %8.2f %13.1f%% %10.2f %11.1f\n", n, decode * 1e3,
                        frame * 1e3, percentBeyond(frame, decode), 1 / frame, frame1 / frame,
                        percentBeyond(cached, decode), scroll * 1e3, 1 / scroll);
        }
    }
    std::printf("\nPure decode scaling over one thread: threads waiting for each other every frame (a pool,\n"
                "as the pipeline must) and not (as bench_rfx7 times its threads)\n");
    std::printf("%-8s %16s %10s %18s %10s %14s\n", "threads", "pool decode ms", "vs 1", "unsynced decode ms",
                "vs 1", "pool/unsynced");
    for (int n : kThreadCounts) {
        const double pool = perFrame("decode_frame", n);
        const double free = perFrame("decode_frames_unsynced", n);
        const double pool1 = perFrame("decode_frame", 1);
        const double free1 = perFrame("decode_frames_unsynced", 1);
        if (pool > 0 && free > 0 && pool1 > 0 && free1 > 0) {
            std::printf("%-8d %16.2f %10.2f %18.2f %10.2f %14.2f\n", n, pool * 1e3, pool1 / pool, free * 1e3,
                        free1 / free, (pool1 / pool) / (free1 / free));
        }
    }
    std::printf("\nCPU time per frame, all threads together (does not depend on free cores)\n");
    std::printf("%-8s %14s %16s %14s\n", "threads", "decode cpu ms", "pipeline cpu ms", "beyond decode");
    for (int n : kThreadCounts) {
        const std::string arg = "/" + std::to_string(n);
        const double decode = summary.cpuMsPerFrame["decode_frame" + arg];
        const double frame = summary.cpuMsPerFrame["pipeline_frame" + arg];
        if (decode > 0 && frame > 0) {
            std::printf("%-8d %14.2f %16.2f %13.1f%%\n", n, decode, frame, percentBeyond(frame, decode));
        }
    }
    std::printf("\nFrom the simulator over loopback TCP through the connection, two frames in flight\n");
    std::printf("%-8s %10s %12s %14s %10s %8s %10s %11s\n", "threads", "decode ms", "frame ms",
                "beyond decode", "frame fps", "vs 1", "scroll ms", "scroll fps");
    for (int n : kThreadCounts) {
        const double decode = perFrame("decode_frame", n);
        const double frame = perFrame("sim_frame", n);
        const double scroll = perFrame("sim_scroll", n);
        const double frame1 = perFrame("sim_frame", 1);
        if (decode > 0 && frame > 0 && scroll > 0 && frame1 > 0) {
            std::printf("%-8d %10.2f %12.2f %13.1f%% %10.1f %8.2f %10.2f %11.1f\n", n, decode * 1e3,
                        frame * 1e3, percentBeyond(frame, decode), 1 / frame, frame1 / frame, scroll * 1e3,
                        1 / scroll);
        }
    }
    return 0;
}
