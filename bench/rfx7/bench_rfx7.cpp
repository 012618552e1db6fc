// Decodes the 510 tiles of a 1920x1080 desktop-like frame (quantisers 6,6,6,6,7,7,8,8,8,9) with our
// decoder on 1 and N threads, and with the peer's RemoteFX stages on one thread, then prints
// MPixel/s and the ratio ours/peer.

#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#ifdef VELNOR_BENCH_PEER
#include <freerdp/codec/color.h>
#include <freerdp/codec/rfx.h>
#include <freerdp/primitives.h>
#endif

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPaddedHeight = (kHeight + 63) / 64 * 64;
constexpr int kTilePixels = 64 * 64;

struct Tile {
    int x, y;
    std::vector<uint8_t> bytes;
};

struct Frame {
    std::vector<uint32_t> source; // kWidth x kPaddedHeight, bottom rows repeat the last line
    std::vector<Tile> tiles;
};

const Frame& frame() {
    static const Frame f = [] {
        Frame fr;
        const std::vector<uint32_t> image = rfx7DesktopImage(kWidth, kHeight);
        fr.source.resize(size_t(kWidth) * kPaddedHeight);
        for (int y = 0; y < kPaddedHeight; ++y)
            std::copy_n(image.begin() + std::min(y, kHeight - 1) * kWidth, kWidth,
                        fr.source.begin() + y * kWidth);
        for (int y = 0; y < kPaddedHeight; y += 64)
            for (int x = 0; x < kWidth; x += 64)
                fr.tiles.push_back(
                    {x, y,
                     encodeRfx7Tile(fr.source.data() + y * kWidth + x, kWidth * 4, kRfx7TypicalQuant,
                                    kRfx7TypicalQuant, kRfx7TypicalQuant, Rfx7Alpha::Omit)});
        return fr;
    }();
    return f;
}

// Decoded frames, cache-line aligned so that threads writing neighbouring tiles share no line.
struct alignas(64) FrameBuffer {
    uint32_t pixels[size_t(kWidth) * kPaddedHeight];
    uint32_t* data() { return pixels; }
    uint32_t operator[](size_t i) const { return pixels[i]; }
};

template <typename A, typename B>
double psnr(const A& a, const B& b) {
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

void decodeOurs(benchmark::State& state) {
    const Frame& f = frame();
    const bool whole = state.range(0) != 0;
    static FrameBuffer output;
    auto work = std::make_unique<Rfx7WorkBuffer>();
    const size_t threads = size_t(state.threads());
    const size_t me = size_t(state.thread_index());
    size_t tiles = 0;
    bool ok = true;
    for (auto _ : state) {
        // Each thread takes every n-th tile, as the decode pool shares one message's tiles.
        for (size_t i = me; i < f.tiles.size(); i += threads) {
            const Tile& t = f.tiles[i];
            const auto& q = kRfx7TypicalQuant;
            uint8_t* destination = reinterpret_cast<uint8_t*>(output.data() + t.y * kWidth + t.x);
            ok &= decodeRfx7Tile(*work, t.bytes.data(), t.bytes.size(), q, q, q, nullptr, destination,
                                 kWidth * 4)
                      .ok();
            ++tiles;
        }
        benchmark::ClobberMemory();
    }
    if (!ok)
        state.SkipWithError("a tile failed to decode");
    state.counters["MPixel/s"] =
        benchmark::Counter(double(tiles) * kTilePixels / 1e6, benchmark::Counter::kIsRate);
    if (me == 0 && whole)
        state.counters["PSNR_dB"] = psnr(f.source, output);
    size_t bytes = 0;
    for (const Tile& t : f.tiles)
        bytes += t.bytes.size();
    state.SetLabel(std::string(rfx7ActiveKernels().name) + ", " + std::to_string(bytes / 1024) + " KiB");
}

#ifdef VELNOR_BENCH_PEER

// The peer's frame: encoded by its own encoder from the same pixels, then decoded stage by stage
// exactly as its tile decoder does (RLGR3, LL3 differences, dequantisation, inverse wavelet, colour).
struct PeerFrame {
    RFX_CONTEXT* encoder = nullptr;
    RFX_CONTEXT* decoder = nullptr;
    RFX_MESSAGE* message = nullptr;
    ~PeerFrame() {
        if (message)
            rfx_message_free(encoder, message);
        if (encoder)
            rfx_context_free(encoder);
        if (decoder)
            rfx_context_free(decoder);
    }
};

PeerFrame& peerFrame() {
    static PeerFrame p = [] {
        PeerFrame pf;
        const Frame& f = frame();
        pf.encoder = rfx_context_new(TRUE);
        rfx_context_set_pixel_format(pf.encoder, PIXEL_FORMAT_BGRX32);
        rfx_context_reset(pf.encoder, kWidth, kPaddedHeight);
        pf.encoder->mode = RLGR3;
        const RFX_RECT rect = {0, 0, kWidth, kPaddedHeight};
        pf.message = rfx_encode_message(pf.encoder, &rect, 1, reinterpret_cast<const BYTE*>(f.source.data()),
                                        kWidth, kPaddedHeight, kWidth * 4);
        pf.decoder = rfx_context_new(FALSE);
        pf.decoder->mode = RLGR3;
        return pf;
    }();
    return p;
}

void peerComponent(RFX_CONTEXT* context, const UINT32* quant, const BYTE* data, int size, INT16* buffer,
                   INT16* dwt) {
    context->rlgr_decode(RLGR3, data, UINT32(size), buffer, 4096);
    for (int i = 4033; i < 4096; ++i) // LL3 differences
        buffer[i] = INT16(buffer[i] + buffer[i - 1]);
    context->quantization_decode(buffer, quant);
    context->dwt_2d_decode(buffer, dwt);
}

void decodePeer(benchmark::State& state) {
    PeerFrame& p = peerFrame();
    if (!p.message || p.message->numTiles == 0) {
        state.SkipWithError("the peer's encoder produced nothing");
        return;
    }
    const primitives_t* prims = primitives_get();
    static FrameBuffer output;
    alignas(32) static INT16 planes[3][4096];
    alignas(32) static INT16 dwt[4096];
    const prim_size_t roi = {64, 64};
    size_t tiles = 0;
    for (auto _ : state) {
        for (UINT16 i = 0; i < p.message->numTiles; ++i) {
            const RFX_TILE* t = p.message->tiles[i];
            const UINT32* quants = p.message->quantVals;
            peerComponent(p.decoder, quants + t->quantIdxY * 10, t->YData, t->YLen, planes[0], dwt);
            peerComponent(p.decoder, quants + t->quantIdxCb * 10, t->CbData, t->CbLen, planes[1], dwt);
            peerComponent(p.decoder, quants + t->quantIdxCr * 10, t->CrData, t->CrLen, planes[2], dwt);
            const INT16* const sources[3] = {planes[0], planes[1], planes[2]};
            prims->yCbCrToRGB_16s8u_P3AC4R(sources, 64 * sizeof(INT16),
                                           reinterpret_cast<BYTE*>(output.data() + t->y * kWidth + t->x),
                                           kWidth * 4, PIXEL_FORMAT_BGRX32, &roi);
            ++tiles;
        }
        benchmark::ClobberMemory();
    }
    state.counters["MPixel/s"] =
        benchmark::Counter(double(tiles) * kTilePixels / 1e6, benchmark::Counter::kIsRate);
    state.counters["PSNR_dB"] = psnr(frame().source, output);
    size_t bytes = 0;
    for (UINT16 i = 0; i < p.message->numTiles; ++i)
        bytes += size_t(p.message->tiles[i]->YLen) + p.message->tiles[i]->CbLen + p.message->tiles[i]->CrLen;
    state.SetLabel("peer, " + std::to_string(p.message->numTiles) + " tiles, " +
                   std::to_string(bytes / 1024) + " KiB");
}

// Our RLGR3, LL3, dequantisation and inverse-wavelet stages run on the peer's own tile data must give
// the peer's coefficients bit for bit: the stages follow the same published codec, and this catches a
// misreading that our encoder and decoder would share. Returns how many of the peer's planes differ.
int planesDifferingFromPeer() {
    PeerFrame& p = peerFrame();
    if (!p.message)
        return -1;
    alignas(32) static INT16 theirs[4096];
    alignas(32) static INT16 dwt[4096];
    Rfx7WorkBuffer work;
    int differing = 0;
    for (UINT16 i = 0; i < p.message->numTiles; ++i) {
        const RFX_TILE* t = p.message->tiles[i];
        const BYTE* data[3] = {t->YData, t->CbData, t->CrData};
        const UINT32 length[3] = {t->YLen, t->CbLen, t->CrLen};
        const BYTE quantIndex[3] = {t->quantIdxY, t->quantIdxCb, t->quantIdxCr};
        for (int c = 0; c < 3; ++c) {
            const UINT32* quant = p.message->quantVals + quantIndex[c] * 10;
            peerComponent(p.decoder, quant, data[c], int(length[c]), theirs, dwt);
            Rfx7QuantSet ours;
            for (int b = 0; b < 10; ++b)
                ours[size_t(b)] = uint8_t(quant[b]);
            int16_t* plane = work.plane(0);
            Rfx7BitReader reader(data[c], length[c]);
            const bool decoded = rlgr3Decode(reader, plane, kRfx7PlaneSize);
            decodeLl3Deltas(plane);
            dequantizePlane(plane, ours);
            inverseDwt(plane, work.scratch);
            if (!decoded || std::memcmp(plane, theirs, sizeof theirs) != 0)
                ++differing;
        }
    }
    return differing;
}

#endif

// Collects MPixel/s per benchmark to print the comparison after the run.
class Summary : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rates;

    explicit Summary(bool colour)
        : ConsoleReporter(colour ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto it = run.counters.find("MPixel/s");
            if (it != run.counters.end())
                rates[run.benchmark_name()] = it->second.value;
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<int> threadCounts = {1, 2, 4};
    if (cores > 4)
        threadCounts.push_back(cores);
    auto* ours = benchmark::RegisterBenchmark("rfx7_decode_frame", decodeOurs)->Arg(1)->UseRealTime();
    for (int n : threadCounts)
        if (n <= cores)
            ours->Threads(n);
#ifdef VELNOR_BENCH_PEER
    benchmark::RegisterBenchmark("peer_decode_frame", decodePeer)->UseRealTime()->Threads(1);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    frame(); // encode outside the timings
    std::printf("frame %dx%d, %zu tiles, quantisers 6,6,6,6,7,7,8,8,8,9, vector path %s\n", kWidth, kHeight,
                frame().tiles.size(), rfx7ActiveKernels().name);
#ifdef VELNOR_BENCH_PEER
    std::printf("our stages on the peer's tile data: %d planes differ from the peer's\n",
                planesDifferingFromPeer());
#endif
    Summary summary(isatty(STDOUT_FILENO) != 0);
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();

    std::printf("\n%-34s %12s\n", "decoder", "MPixel/s");
    double oursSingle = 0, peerSingle = 0;
    for (const auto& [name, rate] : summary.rates) {
        std::printf("%-34s %12.1f\n", name.c_str(), rate);
        if (name.rfind("rfx7_decode_frame", 0) == 0 && name.find("threads:1") != std::string::npos &&
            name.find("threads:1") + 9 == name.size())
            oursSingle = rate;
        if (name.rfind("peer_decode_frame", 0) == 0)
            peerSingle = rate;
    }
    if (oursSingle > 0)
        for (const auto& [name, rate] : summary.rates)
            if (name.rfind("rfx7_decode_frame", 0) == 0)
                std::printf("speed-up %-25s %12.2f\n", name.substr(name.find("threads:")).c_str(),
                            rate / oursSingle);
    if (oursSingle > 0 && peerSingle > 0)
        std::printf("ratio ours/peer (1 thread)         %12.2f\n", oursSingle / peerSingle);
    else
        std::printf("ratio ours/peer: peer not measured\n");
    return 0;
}
