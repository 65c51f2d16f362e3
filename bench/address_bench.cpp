// IPv6 text forms per address: parseIpv6Address beside inet_pton, and
// formatIpv6Address beside inet_ntop, on two mixes of 4096 addresses cycled
// through (so the branch predictor cannot learn one text): "full", random
// 128-bit addresses printed with all eight groups, and "trace", addresses with
// zero groups as real prefixes have them (a:b:c::d, fe80::a:b:c:d, ::ffff:a.b.c.d).
// Every figure is addresses per second (items/s).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ipv6_address.h"

namespace {

using ipveil::Ipv6Address;

constexpr std::size_t PoolSize = 4096;

std::vector<Ipv6Address> addresses(bool traceLike) {
    std::mt19937_64 rng(traceLike ? 11 : 12);
    std::vector<Ipv6Address> pool(PoolSize);
    for (Ipv6Address& address : pool) {
        for (auto& byte : address.bytes) byte = static_cast<std::uint8_t>(rng());
        if (!traceLike) continue;
        switch (rng() % 4) {
        case 0: std::memset(address.bytes + 6, 0, 8); break;                            // a:b:c::d
        case 1: std::memcpy(address.bytes, "\xfe\x80\0\0\0\0\0\0", 8); break;           // fe80::a:b:c:d
        case 2: std::memcpy(address.bytes, "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12); break;  // ::ffff:a.b.c.d
        default: std::memset(address.bytes + 4, 0, 10); break;                          // a:b::c
        }
    }
    return pool;
}

std::vector<std::string> texts(bool traceLike) {
    std::vector<std::string> all;
    for (const Ipv6Address& address : addresses(traceLike)) {
        char text[ipveil::Ipv6MaxTextChars];
        all.emplace_back(text, ipveil::formatIpv6Address(text, address));
    }
    return all;
}

void parseOurs(benchmark::State& state, bool traceLike) {
    const auto pool = texts(traceLike);
    Ipv6Address address;
    for (auto _ : state) {
        for (const std::string& text : pool) {
            if (!ipveil::parseIpv6Address(text.data(), text.data() + text.size(), address)) state.SkipWithError("refused");
            benchmark::DoNotOptimize(address);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * PoolSize));
}

void parseInetPton(benchmark::State& state, bool traceLike) {
    const auto pool = texts(traceLike);
    Ipv6Address address;
    for (auto _ : state) {
        for (const std::string& text : pool) {
            if (inet_pton(AF_INET6, text.c_str(), address.bytes) != 1) state.SkipWithError("refused");
            benchmark::DoNotOptimize(address);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * PoolSize));
}

void formatOurs(benchmark::State& state, bool traceLike) {
    const auto pool = addresses(traceLike);
    char text[ipveil::Ipv6MaxTextChars];
    for (auto _ : state) {
        for (const Ipv6Address& address : pool) {
            benchmark::DoNotOptimize(ipveil::formatIpv6Address(text, address));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * PoolSize));
}

void formatInetNtop(benchmark::State& state, bool traceLike) {
    const auto pool = addresses(traceLike);
    char text[INET6_ADDRSTRLEN];
    for (auto _ : state) {
        for (const Ipv6Address& address : pool) {
            benchmark::DoNotOptimize(inet_ntop(AF_INET6, address.bytes, text, sizeof text));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * PoolSize));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (const bool traceLike : {false, true}) {
        const std::string mix = traceLike ? "/trace" : "/full";
        benchmark::RegisterBenchmark(("parse/ours" + mix).c_str(), parseOurs, traceLike);
        benchmark::RegisterBenchmark(("parse/inet_pton" + mix).c_str(), parseInetPton, traceLike);
        benchmark::RegisterBenchmark(("format/ours" + mix).c_str(), formatOurs, traceLike);
        benchmark::RegisterBenchmark(("format/inet_ntop" + mix).c_str(), formatInetNtop, traceLike);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
