// FrameRewriter's throughput, in frames per second, on windows of
// MaxFrames generated frames (80% Ethernet/IPv4/TCP, 20% Ethernet/IPv6/UDP,
// fresh addresses in every frame, MACs from a small pool as on one link):
//   rewrite/<snap>/<policy>   frames cut by the capture at <snap> bytes (96, or
//                             whole 1514-byte frames); policy 0 headers-only with
//                             MACs mapped, 1 the same with MACs kept, 2
//                             keepPayload with MACs mapped
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "frame_rewriter.h"

namespace {

using ipveil::packet::Direction;
using ipveil::packet::Frame;
using ipveil::packet::FrameRewriter;
using ipveil::packet::Policy;

const std::uint8_t Key[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                              16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

void put16(std::vector<std::uint8_t>& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

std::vector<std::uint8_t> makeFrame(std::mt19937_64& rng, std::size_t size) {
    static const std::uint64_t macs[4] = {0x001122334455, 0x3C22FB0A0B0C, 0x02AABBCCDDEE, 0x00163E112233};
    std::vector<std::uint8_t> b;
    for (int side = 0; side < 2; ++side) {
        std::uint64_t mac = macs[rng() % 4];
        for (int i = 0; i < 6; ++i) b.push_back(static_cast<std::uint8_t>(mac >> (40 - 8 * i)));
    }
    bool six = rng() % 5 == 0;
    put16(b, six ? 0x86DD : 0x0800);
    std::size_t ip = b.size();
    if (!six) {
        b.insert(b.end(), {0x45, 0, 0, 0, 0x12, 0x34, 0x40, 0, 64, 6, 0, 0});
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
        b.insert(b.end(), {0x01, 0xBB, 0xC3, 0x50, 1, 2, 3, 4,  5, 6, 7, 8, 0x80, 0x18, 1, 0,
                           0x12, 0x34, 0,    0,    1, 1, 8, 10, 0, 0, 0, 1, 0,    0,    0, 2});
    } else {
        b.insert(b.end(), {0x60, 0, 0, 0, 0, 0, 17, 64});
        for (int i = 0; i < 32; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
        b.insert(b.end(), {0x00, 0x35, 0xC3, 0x50, 0, 0, 0x56, 0x78});
    }
    while (b.size() < size) b.push_back(static_cast<std::uint8_t>(rng()));
    std::size_t length = b.size() - ip;
    if (!six) {
        b[ip + 2] = static_cast<std::uint8_t>(length >> 8);
        b[ip + 3] = static_cast<std::uint8_t>(length);
    } else {
        b[ip + 4] = static_cast<std::uint8_t>((length - 40) >> 8);
        b[ip + 5] = static_cast<std::uint8_t>(length - 40);
    }
    return b;
}

struct Window {
    std::vector<std::vector<std::uint8_t>> bytes;
    std::vector<Frame> frames;
    std::vector<std::uint32_t> captured;
    Window(std::size_t snap, std::uint32_t linkType) {
        std::mt19937_64 rng(42);
        for (std::size_t i = 0; i < FrameRewriter::MaxFrames; ++i) {
            std::vector<std::uint8_t> b = makeFrame(rng, 1514);
            if (b.size() > snap) b.resize(snap);
            bytes.push_back(std::move(b));
        }
        for (auto& b : bytes) {
            frames.push_back(Frame{b.data(), static_cast<std::uint32_t>(b.size()), linkType});
            captured.push_back(static_cast<std::uint32_t>(b.size()));
        }
    }
    void reset() {
        for (std::size_t i = 0; i < frames.size(); ++i) frames[i].captured = captured[i];
    }
};

void rewrite(benchmark::State& state) {
    std::size_t snap = static_cast<std::size_t>(state.range(0));
    int policy = static_cast<int>(state.range(1));
    Window window(snap, ipveil::packet::LinkEthernet);
    FrameRewriter rewriter(Key, Policy{policy == 2, policy == 1, Direction::Anonymize});
    for (auto _ : state) {
        window.reset();
        rewriter.rewrite(window.frames.data(), window.frames.size());
        benchmark::DoNotOptimize(window.frames.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * window.frames.size()));
}
BENCHMARK(rewrite)->ArgsProduct({{96, 1514}, {0, 1, 2}});

}  // namespace

BENCHMARK_MAIN();
