// Decode speed of the RFX7 tile decoder, side by side with a peer decoder (the RemoteFX decoder of the
// system's FreeRDP 2 library, when installed) on the same bytes.
//
// The 1920x1080 desktop-like frame (510 tiles) is encoded once by the peer's encoder. Both decoders
// then decode exactly those tile bytes; before any timing, our pixels are compared with the peer's.
// Rounds are interleaved (ours, peer, ours, peer, ...) and every figure is the median over the rounds.
// Rows:
//   ours, peer's bytes        our stages (RLGR3, LL3, dequantisation, inverse transform, colour) per
//                             tile on the peer's three component streams, one thread, own work buffer
//   peer, whole message       the peer's normal decode of the whole message (rfx_process_message)
//                             with its thread pool switched off, so on the calling thread
//   peer, tile stages         the peer's per-tile stages called directly, one thread, no pool
//   ours, our encoder's bytes decodeRfx7Tile on our own encoder's output of the same picture (one
//                             RLGR3 stream per tile), one thread
//   ours, N threads           the peer's bytes on N threads, not confined, each thread with its own
//                             work buffer taking the next tile of the frame
// Then the time per tile of each stage for both decoders, and the scaling of ours over the threads.
// The one-thread rows run with the process confined to one core. Times are milliseconds per frame: wall time,
// and CPU time of the process (all threads), which does not depend on how loaded the machine is.
//
// Options: --rounds=N (default: VELNOR_BENCH_ROUNDS, else 7); arguments of the form --benchmark_* are ignored
// (bench/run.sh passes its arguments to every benchmark).

#include "BenchSupport.h"

#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#ifdef VELNOR_BENCH_PEER
#include <freerdp/codec/color.h>
#include <freerdp/codec/region.h>
#include <freerdp/codec/rfx.h>
#include <freerdp/primitives.h>
#include <winpr/registry.h>
#include <winpr/stream.h>

using bench::loadAverage;
using bench::median;

// The peer's decoder takes its thread switch ("UseThreads") from the system registry, which its support
// library reads from a file under /etc. These definitions stand in for that registry within this
// process only: every key opens and is empty except for that switch, which is off, so the peer decodes
// a message on the calling thread.
namespace {
int registryKey;
}
extern "C" {
LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) {
    *result = &registryKey;
    return ERROR_SUCCESS;
}
LONG RegQueryValueExA(HKEY, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (!name || std::strcmp(name, "UseThreads") != 0)
        return ERROR_FILE_NOT_FOUND;
    if (!size || *size < sizeof(DWORD))
        return ERROR_MORE_DATA;
    if (type)
        *type = REG_DWORD;
    if (data) {
        const DWORD off = 0;
        std::memcpy(data, &off, sizeof off);
    }
    *size = sizeof(DWORD);
    return ERROR_SUCCESS;
}
LONG RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}
}
#endif

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPaddedHeight = (kHeight + 63) / 64 * 64;
constexpr int kStride = kWidth * 4;

using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Confines every thread of the process to one core, or lets the main thread (and threads it starts
// later) run anywhere again.
class CoreConfinement {
public:
    CoreConfinement() {
        sched_getaffinity(0, sizeof m_all, &m_all);
        const int cpu = sched_getcpu();
        CPU_ZERO(&m_one);
        CPU_SET(cpu < 0 ? 0 : cpu, &m_one);
    }
    void confine() const { setAll(m_one); }
    void release() const { setAll(m_all); }
    int core() const {
        for (int i = 0; i < CPU_SETSIZE; ++i)
            if (CPU_ISSET(i, &m_one))
                return i;
        return -1;
    }

private:
    static void setAll(const cpu_set_t& set) {
        if (DIR* tasks = opendir("/proc/self/task")) {
            while (dirent* entry = readdir(tasks))
                if (entry->d_name[0] != '.')
                    sched_setaffinity(pid_t(std::atoi(entry->d_name)), sizeof set, &set);
            closedir(tasks);
        }
    }
    cpu_set_t m_all;
    cpu_set_t m_one;
};

std::vector<uint32_t> sourceFrame() {
    const std::vector<uint32_t> image = rfx7DesktopImage(kWidth, kHeight);
    std::vector<uint32_t> padded(size_t(kWidth) * kPaddedHeight);
    for (int y = 0; y < kPaddedHeight; ++y)
        std::copy_n(image.begin() + std::min(y, kHeight - 1) * kWidth, kWidth, padded.begin() + y * kWidth);
    return padded;
}

struct alignas(64) FrameBuffer {
    uint32_t pixels[size_t(kWidth) * kPaddedHeight];
    uint8_t* at(int x, int y) { return reinterpret_cast<uint8_t*>(pixels + size_t(y) * kWidth + x); }
};

double psnr(const uint32_t* a, const uint32_t* b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < size_t(kWidth) * kHeight; ++i)
        for (int s = 0; s < 24; s += 8) {
            const double d = double((a[i] >> s) & 0xFF) - double((b[i] >> s) & 0xFF);
            sum += d * d;
            ++n;
        }
    return 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

// A tile as the peer's encoder wrote it: three RLGR3 streams, one per component.
struct ComponentTile {
    int x, y;
    std::vector<uint8_t> streams[3];
    Rfx7QuantSet quant[3];
};

// Our encoder's tile: one stream for all three planes.
struct OwnTile {
    int x, y;
    std::vector<uint8_t> bytes;
};

constexpr int kColourOnly = 5;

// Our stages on one of the peer's tiles, in the order decodeRfx7Tile runs them. `Stages` < 4 stops
// early, so that the time of each stage is the difference between two prefixes of the decode;
// kColourOnly runs only the colour conversion, of whatever planes the last decode left.
template <int Stages = 4>
bool decodeComponentTile(Rfx7WorkBuffer& work, const ComponentTile& t, uint8_t* destination) {
    const Rfx7Kernels& kernels = rfx7ActiveKernels();
    if (Stages == kColourOnly) {
        kernels.yCbCrToArgb(work.plane(0), work.plane(1), work.plane(2), nullptr, destination, kStride);
        return true;
    }
    bool ok = true;
    for (int c = 0; c < 3; ++c) {
        Rfx7BitReader reader(t.streams[c].data(), t.streams[c].size());
        ok &= rlgr3Decode(reader, work.plane(c), kRfx7PlaneSize);
    }
    if (Stages >= 2)
        for (int c = 0; c < 3; ++c) {
            decodeLl3Deltas(work.plane(c));
            kernels.dequantizePlane(work.plane(c), t.quant[c]);
        }
    if (Stages >= 3)
        for (int c = 0; c < 3; ++c)
            kernels.inverseDwt(work.plane(c), work.scratch);
    if (Stages >= 4) {
        kernels.yCbCrToArgb(work.plane(0), work.plane(1), work.plane(2), nullptr, destination, kStride);
    }
    return ok;
}

struct Timing {
    double wallMs = 0, cpuMs = 0; // per frame
};

Timing timeFrames(int frames, const std::function<void()>& decodeFrame) {
    const double cpu0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    for (int i = 0; i < frames; ++i)
        decodeFrame();
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - wall0).count();
    return {wall / frames, (processCpuSeconds() - cpu0) * 1e3 / frames};
}

// The frame's tiles shared out to `threads` threads, each with its own work buffer; every thread takes
// the next undecoded tile of the current frame.
Timing timeThreaded(int threads, int frames, const std::vector<ComponentTile>& tiles, FrameBuffer& output) {
    const std::unique_ptr<std::atomic<size_t>[]> next(new std::atomic<size_t>[size_t(frames)]);
    for (int f = 0; f < frames; ++f)
        next[size_t(f)] = 0;
    const double cpu0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < threads; ++w)
        workers.emplace_back([&] {
            auto work = std::make_unique<Rfx7WorkBuffer>();
            for (int f = 0; f < frames; ++f)
                for (size_t i = next[size_t(f)]++; i < tiles.size(); i = next[size_t(f)]++)
                    decodeComponentTile(*work, tiles[i], output.at(tiles[i].x, tiles[i].y));
        });
    for (std::thread& w : workers)
        w.join();
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - wall0).count();
    return {wall / frames, (processCpuSeconds() - cpu0) * 1e3 / frames};
}

#ifdef VELNOR_BENCH_PEER

struct Peer {
    RFX_CONTEXT* encoder = nullptr;
    RFX_CONTEXT* decoder = nullptr;
    RFX_CONTEXT* stageDecoder = nullptr;
    RFX_MESSAGE* message = nullptr;
    std::vector<uint8_t> wire; // the encoded message as sent
    const primitives_t* primitives = nullptr;
    ~Peer() {
        if (message)
            rfx_message_free(encoder, message);
        for (RFX_CONTEXT* c : {encoder, decoder, stageDecoder})
            if (c)
                rfx_context_free(c);
    }
};

bool setUpPeer(Peer& p, const std::vector<uint32_t>& source) {
    p.encoder = rfx_context_new(TRUE);
    if (!p.encoder)
        return false;
    rfx_context_set_pixel_format(p.encoder, PIXEL_FORMAT_BGRX32);
    rfx_context_reset(p.encoder, kWidth, kPaddedHeight);
    p.encoder->mode = RLGR3;
    const RFX_RECT rect = {0, 0, kWidth, kPaddedHeight};
    p.message = rfx_encode_message(p.encoder, &rect, 1, reinterpret_cast<const BYTE*>(source.data()), kWidth,
                                   kPaddedHeight, kStride);
    if (!p.message || p.message->numTiles == 0)
        return false;
    wStream* s = Stream_New(nullptr, 1024);
    if (!s)
        return false;
    const bool written = rfx_write_message(p.encoder, s, p.message);
    if (written)
        p.wire.assign(Stream_Buffer(s), Stream_Buffer(s) + Stream_GetPosition(s));
    Stream_Free(s, TRUE);
    p.decoder = rfx_context_new(FALSE);
    p.stageDecoder = rfx_context_new(FALSE);
    if (!written || !p.decoder || !p.stageDecoder)
        return false;
    rfx_context_set_pixel_format(p.decoder, PIXEL_FORMAT_BGRX32);
    p.primitives = primitives_get();
    return true;
}

std::vector<ComponentTile> componentTiles(const Peer& p) {
    std::vector<ComponentTile> tiles;
    for (UINT16 i = 0; i < p.message->numTiles; ++i) {
        const RFX_TILE* t = p.message->tiles[i];
        ComponentTile tile;
        tile.x = t->x;
        tile.y = t->y;
        const BYTE* data[3] = {t->YData, t->CbData, t->CrData};
        const UINT32 length[3] = {t->YLen, t->CbLen, t->CrLen};
        const BYTE quantIndex[3] = {t->quantIdxY, t->quantIdxCb, t->quantIdxCr};
        for (int c = 0; c < 3; ++c) {
            tile.streams[c].assign(data[c], data[c] + length[c]);
            const UINT32* quant = p.message->quantVals + quantIndex[c] * 10;
            for (int b = 0; b < 10; ++b)
                tile.quant[c][size_t(b)] = uint8_t(quant[b]);
        }
        tiles.push_back(std::move(tile));
    }
    return tiles;
}

bool peerProcessMessage(Peer& p, FrameBuffer& output) {
    REGION16 invalid;
    region16_init(&invalid);
    const bool ok = rfx_process_message(p.decoder, p.wire.data(), UINT32(p.wire.size()), 0, 0,
                                        reinterpret_cast<BYTE*>(output.pixels), PIXEL_FORMAT_BGRX32, kStride,
                                        kPaddedHeight, &invalid);
    region16_uninit(&invalid);
    return ok;
}

// The peer's tile decode, stage by stage: RLGR3, LL3 differences, dequantisation, inverse transform,
// then its colour conversion; `Stages` as for ours.
template <int Stages = 4>
void peerStages(Peer& p, FrameBuffer& output) {
    alignas(32) static INT16 planes[3][4096];
    alignas(32) static INT16 dwt[4096];
    const prim_size_t roi = {64, 64};
    RFX_CONTEXT* context = p.stageDecoder;
    for (UINT16 i = 0; i < p.message->numTiles; ++i) {
        const RFX_TILE* t = p.message->tiles[i];
        if (Stages == kColourOnly) {
            const INT16* const sources[3] = {planes[0], planes[1], planes[2]};
            p.primitives->yCbCrToRGB_16s8u_P3AC4R(sources, 64 * sizeof(INT16), output.at(t->x, t->y), kStride,
                                                  PIXEL_FORMAT_BGRX32, &roi);
            continue;
        }
        const UINT32* quants = p.message->quantVals;
        const BYTE* data[3] = {t->YData, t->CbData, t->CrData};
        const UINT32 length[3] = {t->YLen, t->CbLen, t->CrLen};
        const UINT32* quant[3] = {quants + t->quantIdxY * 10, quants + t->quantIdxCb * 10,
                                  quants + t->quantIdxCr * 10};
        for (int c = 0; c < 3; ++c)
            context->rlgr_decode(RLGR3, data[c], length[c], planes[c], 4096);
        if (Stages >= 2)
            for (int c = 0; c < 3; ++c) {
                for (int k = 4033; k < 4096; ++k)
                    planes[c][k] = INT16(planes[c][k] + planes[c][k - 1]);
                context->quantization_decode(planes[c], quant[c]);
            }
        if (Stages >= 3)
            for (int c = 0; c < 3; ++c)
                context->dwt_2d_decode(planes[c], dwt);
        if (Stages >= 4) {
            const INT16* const sources[3] = {planes[0], planes[1], planes[2]};
            p.primitives->yCbCrToRGB_16s8u_P3AC4R(sources, 64 * sizeof(INT16), output.at(t->x, t->y), kStride,
                                                  PIXEL_FORMAT_BGRX32, &roi);
        }
    }
}

// Our planes against the peer's after its inverse transform, and our pixels against its pixels.
struct Agreement {
    int planesDiffering = 0;
    size_t pixelsDiffering = 0;
    int largestDifference = 0;
};

Agreement compareWithPeer(Peer& p, const std::vector<ComponentTile>& tiles) {
    Agreement a;
    auto work = std::make_unique<Rfx7WorkBuffer>();
    alignas(32) static INT16 theirs[4096];
    alignas(32) static INT16 dwt[4096];
    for (UINT16 i = 0; i < p.message->numTiles; ++i) {
        const RFX_TILE* t = p.message->tiles[i];
        const BYTE* data[3] = {t->YData, t->CbData, t->CrData};
        const UINT32 length[3] = {t->YLen, t->CbLen, t->CrLen};
        const BYTE quantIndex[3] = {t->quantIdxY, t->quantIdxCb, t->quantIdxCr};
        for (int c = 0; c < 3; ++c) {
            p.stageDecoder->rlgr_decode(RLGR3, data[c], length[c], theirs, 4096);
            for (int k = 4033; k < 4096; ++k)
                theirs[k] = INT16(theirs[k] + theirs[k - 1]);
            p.stageDecoder->quantization_decode(theirs, p.message->quantVals + quantIndex[c] * 10);
            p.stageDecoder->dwt_2d_decode(theirs, dwt);
            int16_t* plane = work->plane(0);
            Rfx7BitReader reader(tiles[i].streams[c].data(), tiles[i].streams[c].size());
            const bool decoded = rlgr3Decode(reader, plane, kRfx7PlaneSize);
            decodeLl3Deltas(plane);
            dequantizePlane(plane, tiles[i].quant[c]);
            inverseDwt(plane, work->scratch);
            if (!decoded || std::memcmp(plane, theirs, sizeof theirs) != 0)
                ++a.planesDiffering;
        }
    }
    auto ours = std::make_unique<FrameBuffer>();
    auto peer = std::make_unique<FrameBuffer>();
    for (const ComponentTile& t : tiles)
        decodeComponentTile(*work, t, ours->at(t.x, t.y));
    if (!peerProcessMessage(p, *peer)) {
        a.pixelsDiffering = size_t(-1);
        return a;
    }
    for (size_t i = 0; i < size_t(kWidth) * kPaddedHeight; ++i) {
        const uint32_t x = ours->pixels[i], y = peer->pixels[i];
        if ((x & 0xFFFFFF) == (y & 0xFFFFFF))
            continue;
        ++a.pixelsDiffering;
        for (int s = 0; s < 24; s += 8)
            a.largestDifference =
                std::max(a.largestDifference, std::abs(int((x >> s) & 0xFF) - int((y >> s) & 0xFF)));
    }
    return a;
}

#endif

struct Medians {
    double wall = 0, cpu = 0;
};

Medians medians(const std::vector<Timing>& runs) {
    std::vector<double> wall, cpu;
    for (const Timing& t : runs) {
        wall.push_back(t.wallMs);
        cpu.push_back(t.cpuMs);
    }
    return {median(wall), median(cpu)};
}

// One row: medians of wall and CPU time per frame, and how many times faster than `base` in wall
// time and, unless `wallOnly` (thread scaling, where CPU time adds up over the threads), in CPU time.
void printRow(const char* name, const std::vector<Timing>& runs, Medians base = {}, bool wallOnly = false) {
    const Medians m = medians(runs);
    std::printf("%-36s %9.2f %9.2f %9.1f", name, m.wall, m.cpu, double(kWidth) * kHeight / m.cpu / 1e3);
    if (base.wall > 0)
        std::printf(" %9.2f", base.wall / m.wall);
    if (base.cpu > 0 && !wallOnly)
        std::printf(" %9.2f", base.cpu / m.cpu);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = bench::roundsFromCommandLine(argc, argv);
    if (rounds < 0)
        return 2;
    std::printf("load average at start: %s (%u cores)\n", loadAverage().c_str(),
                std::thread::hardware_concurrency());

    const std::vector<uint32_t> source = sourceFrame();
    std::vector<OwnTile> ownTiles;
    size_t ownBytes = 0;
    for (int y = 0; y < kPaddedHeight; y += 64)
        for (int x = 0; x < kWidth; x += 64) {
            ownTiles.push_back({x, y,
                                encodeRfx7Tile(source.data() + y * kWidth + x, kStride, kRfx7TypicalQuant,
                                               kRfx7TypicalQuant, kRfx7TypicalQuant, Rfx7Alpha::Omit)});
            ownBytes += ownTiles.back().bytes.size();
        }
    auto output = std::make_unique<FrameBuffer>();
    auto work = std::make_unique<Rfx7WorkBuffer>();
    const auto& q = kRfx7TypicalQuant;
    auto decodeOwn = [&] {
        for (const OwnTile& t : ownTiles)
            decodeRfx7Tile(*work, t.bytes.data(), t.bytes.size(), q, q, q, nullptr, output->at(t.x, t.y),
                           kStride);
    };
    decodeOwn();
    const double ownPsnr = psnr(source.data(), output->pixels);

    std::printf("frame %dx%d, %zu tiles, quantisers 6,6,6,6,7,7,8,8,8,9, vector path %s, %d rounds\n", kWidth,
                kHeight, ownTiles.size(), rfx7ActiveKernels().name, rounds);
    std::printf("our encoder: %zu KiB, decoded %.1f dB\n", ownBytes / 1024, ownPsnr);

    CoreConfinement cores;
    std::vector<int> threadCounts = {1, 2, 4, 8};
    const int available = int(std::thread::hardware_concurrency());
    threadCounts.erase(
        std::remove_if(threadCounts.begin(), threadCounts.end(), [&](int n) { return n > available; }),
        threadCounts.end());

#ifdef VELNOR_BENCH_PEER
    Peer peer;
    if (!setUpPeer(peer, source)) {
        std::fprintf(stderr, "the peer's encoder or decoder could not be set up\n");
        return 1;
    }
    const std::vector<ComponentTile> tiles = componentTiles(peer);
    size_t peerBytes = 0;
    for (const ComponentTile& t : tiles)
        peerBytes += t.streams[0].size() + t.streams[1].size() + t.streams[2].size();
    for (const ComponentTile& t : tiles)
        decodeComponentTile(*work, t, output->at(t.x, t.y));
    std::printf(
        "peer's encoder: %zu tiles, %zu KiB of tile data (%zu bytes as a message), decoded by ours %.1f dB\n",
        tiles.size(), peerBytes / 1024, peer.wire.size(), psnr(source.data(), output->pixels));

    // The same bytes must give the same result before any time counts.
    const Agreement agreement = compareWithPeer(peer, tiles);
    std::printf("same bytes: %d of %zu planes differ from the peer's after the inverse transform; ",
                agreement.planesDiffering, tiles.size() * 3);
    if (agreement.pixelsDiffering == size_t(-1))
        std::printf("the peer's message decode failed\n");
    else
        std::printf("%zu of %d pixels differ from the peer's (largest channel difference %d)\n",
                    agreement.pixelsDiffering, kWidth * kPaddedHeight, agreement.largestDifference);
    // The colour conversions are each side's own: one step per channel apart at most.
    if (agreement.planesDiffering != 0 || agreement.pixelsDiffering == size_t(-1) ||
        agreement.largestDifference > 1) {
        std::fprintf(stderr, "the decoders disagree on the same bytes: no timing\n");
        return 1;
    }
    auto decodeOursPeerBytes = [&] {
        for (const ComponentTile& t : tiles)
            decodeComponentTile(*work, t, output->at(t.x, t.y));
    };

    // Frames per measurement: about 0.2 s of our one-thread decode.
    const Timing probe = timeFrames(3, decodeOursPeerBytes);
    const int frames = std::max(5, int(200 / std::max(probe.wallMs, 0.1)));
    std::printf("%d frames per measurement; one-thread rows confined to core %d\n\n", frames, cores.core());

    std::vector<Timing> oursRuns, messageRuns, stageRuns, ownRuns;
    std::vector<std::vector<Timing>> threadRuns(threadCounts.size());
    // CPU milliseconds per frame of the first 1, 2, 3 and 4 stages, per round.
    std::vector<std::array<double, 4>> ourPrefixes, peerPrefixes;
    auto oursUpTo = [&](auto stages) {
        return [&] {
            constexpr int kStages = decltype(stages)::value;
            for (const ComponentTile& t : tiles)
                decodeComponentTile<kStages>(*work, t, output->at(t.x, t.y));
        };
    };
    for (int r = 0; r < rounds; ++r) {
        cores.confine();
        oursRuns.push_back(timeFrames(frames, decodeOursPeerBytes));
        messageRuns.push_back(timeFrames(frames, [&] { peerProcessMessage(peer, *output); }));
        oursRuns.push_back(timeFrames(frames, decodeOursPeerBytes));
        stageRuns.push_back(timeFrames(frames, [&] { peerStages(peer, *output); }));
        ownRuns.push_back(timeFrames(frames, decodeOwn));
        // The colour conversion alone: a difference of two whole decodes is lost in their noise.
        const double ours3 = timeFrames(frames, oursUpTo(std::integral_constant<int, 3>())).cpuMs;
        ourPrefixes.push_back(
            {timeFrames(frames, oursUpTo(std::integral_constant<int, 1>())).cpuMs,
             timeFrames(frames, oursUpTo(std::integral_constant<int, 2>())).cpuMs, ours3,
             ours3 + timeFrames(frames, oursUpTo(std::integral_constant<int, kColourOnly>())).cpuMs});
        const double peer3 = timeFrames(frames, [&] { peerStages<3>(peer, *output); }).cpuMs;
        peerPrefixes.push_back(
            {timeFrames(frames, [&] { peerStages<1>(peer, *output); }).cpuMs,
             timeFrames(frames, [&] { peerStages<2>(peer, *output); }).cpuMs, peer3,
             peer3 + timeFrames(frames, [&] { peerStages<kColourOnly>(peer, *output); }).cpuMs});
        cores.release();
        for (size_t i = 0; i < threadCounts.size(); ++i)
            threadRuns[i].push_back(timeThreaded(threadCounts[i], frames, tiles, *output));
    }

    std::printf("%-36s %9s %9s %9s %9s %9s\n", "decoder, ms per frame (medians)", "wall", "cpu", "MPx/cpu-s",
                "x wall", "x cpu");
    const Medians peerMessage = medians(messageRuns), peerTileStages = medians(stageRuns),
                  ours = medians(oursRuns);
    printRow("peer, whole message, 1 core", messageRuns, peerMessage);
    printRow("peer, tile stages, 1 thread", stageRuns, peerMessage);
    printRow("ours, peer's bytes, 1 thread", oursRuns, peerMessage);
    printRow("ours, our encoder's bytes, 1 thread", ownRuns, peerMessage);
    std::printf("ratio of medians, same bytes, one thread, peer / ours:\n"
                "  over the peer's message decode: %.2f wall, %.2f cpu\n"
                "  over the peer's tile stages:    %.2f wall, %.2f cpu\n",
                peerMessage.wall / ours.wall, peerMessage.cpu / ours.cpu, peerTileStages.wall / ours.wall,
                peerTileStages.cpu / ours.cpu);
    std::vector<double> roundRatios;
    for (size_t i = 0; i < stageRuns.size(); ++i)
        roundRatios.push_back(stageRuns[i].cpuMs / oursRuns[2 * i + 1].cpuMs);
    std::printf("ratio per round (tile stages / ours, cpu):");
    for (double v : roundRatios)
        std::printf(" %.2f", v);
    std::printf("\n\n");

    // Stage times: within each round the difference of two successive prefixes, then the median over
    // the rounds; CPU microseconds per tile.
    auto stageTimes = [&](const std::vector<std::array<double, 4>>& prefixes) {
        std::array<double, 4> stage{};
        for (size_t k = 0; k < 4; ++k) {
            std::vector<double> v;
            for (const auto& p : prefixes)
                v.push_back((p[k] - (k ? p[k - 1] : 0.0)) * 1e3 / double(tiles.size()));
            stage[k] = median(v);
        }
        return stage;
    };
    const std::array<double, 4> ourStages = stageTimes(ourPrefixes);
    const std::array<double, 4> peerStageTimes = stageTimes(peerPrefixes);
    std::printf("one tile, CPU microseconds (medians) %8s %10s %8s\n", "ours", "peer", "ratio");
    const char* stageNames[4] = {"entropy decode (RLGR3, 3 planes)", "LL3 and dequantisation",
                                 "inverse transform", "colour conversion"};
    double oursTotal = 0, peerTotal = 0;
    for (size_t k = 0; k < 4; ++k) {
        oursTotal += ourStages[k];
        peerTotal += peerStageTimes[k];
        std::printf("%-34s %10.2f %10.2f %8.2f\n", stageNames[k], ourStages[k], peerStageTimes[k],
                    ourStages[k] > 0 ? peerStageTimes[k] / ourStages[k] : 0.0);
    }
    std::printf("%-34s %10.2f %10.2f %8.2f\n\n", "all stages", oursTotal, peerTotal, peerTotal / oursTotal);

    std::printf("%-36s %9s %9s %9s %9s %9s\n", "ours on N threads, peer's bytes", "wall", "cpu", "MPx/cpu-s",
                "x wall", "");
    for (size_t i = 0; i < threadCounts.size(); ++i) {
        const std::string name =
            std::to_string(threadCounts[i]) + (threadCounts[i] == 1 ? " thread" : " threads");
        printRow(name.c_str(), threadRuns[i], medians(threadRuns[0]), true);
    }
#else
    std::printf("the peer (freerdp2-dev) is not installed: only our encoder's bytes are measured\n");
    std::vector<Timing> ownRuns;
    for (int r = 0; r < rounds; ++r) {
        cores.confine();
        ownRuns.push_back(timeFrames(20, decodeOwn));
        cores.release();
    }
    printRow("ours, our encoder's bytes, 1 thread", ownRuns);
#endif
    std::printf("load average at the end: %s\n", loadAverage().c_str());
    return 0;
}
