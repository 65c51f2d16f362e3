// The log room's scanners in bytes per second over generated logs held in
// memory: findAddresses on a mix of sshd, nginx, iptables and postfix lines,
// JsonScanner on Zeek conn lines by path and by every address. Beside them,
// two baselines on the same bytes: splitting into lines alone (memchr), and a
// loop that looks at every byte once (counting colons), the least a scanner
// that reads each byte can cost.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "free_text_scanner.h"
#include "json_scanner.h"

namespace {

using ipveil::log::TextSlot;

constexpr std::size_t LogBytes = 16 << 20;

std::string ipv4(std::mt19937_64& rng) {
    return std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." +
           std::to_string(rng() % 256);
}

std::string ipv6(std::mt19937_64& rng) {
    char text[64];
    std::snprintf(text, sizeof text, "2001:db8:%x:%x::%x", static_cast<unsigned>(rng() % 65536),
                  static_cast<unsigned>(rng() % 65536), static_cast<unsigned>(rng() % 65536));
    return text;
}

std::string address(std::mt19937_64& rng) { return rng() % 4 == 0 ? ipv6(rng) : ipv4(rng); }

std::string freeText() {
    std::mt19937_64 rng(1);
    std::string log;
    while (log.size() < LogBytes) {
        switch (rng() % 4) {
        case 0:
            log += "Jan 12 03:14:15 gw sshd[2211]: Accepted publickey for alice from " + address(rng) +
                   " port 52114 ssh2: ED25519 SHA256:Xb3kq9f0AeBcDdEe\n";
            break;
        case 1:
            log += address(rng) + " - - [12/Jan/2024:03:14:15 +0000] \"GET /static/app.js?v=1.2.3 HTTP/1.1\" 200 6120 "
                   "\"https://www.example.com/index.html\" \"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 "
                   "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36\"\n";
            break;
        case 2:
            log += "Jan 12 03:14:15 fw kernel: [12345.678901] IN=eth0 OUT= MAC=00:1a:2b:3c:4d:5e:00:0c:29:aa:bb:cc:08:00 "
                   "SRC=" + address(rng) + " DST=" + address(rng) +
                   " LEN=60 TOS=0x00 PREC=0x00 TTL=52 ID=54321 DF PROTO=TCP SPT=51515 DPT=22 WINDOW=29200 RES=0x00 SYN URGP=0\n";
            break;
        default:
            log += "Jan 12 03:14:16 mx postfix/smtp[3100]: 4F2A31C0D2: to=<bob@example.com>, relay=mx.example.com[" +
                   address(rng) + "]:25, delay=0.42, delays=0.1/0.01/0.2/0.11, dsn=2.0.0, status=sent (250 2.0.0 OK)\n";
            break;
        }
    }
    return log;
}

std::string zeekConn() {
    std::mt19937_64 rng(2);
    std::string log;
    while (log.size() < LogBytes) {
        log += "{\"ts\":1705029255.123456,\"uid\":\"C3xk9a2Lq0Ab\",\"id.orig_h\":\"" + address(rng) +
               "\",\"id.orig_p\":36844,\"id.resp_h\":\"" + address(rng) +
               "\",\"id.resp_p\":53,\"proto\":\"udp\",\"service\":\"dns\",\"duration\":0.066,\"orig_bytes\":62,"
               "\"resp_bytes\":141,\"conn_state\":\"SF\",\"local_orig\":true,\"local_resp\":true,\"missed_bytes\":0,"
               "\"history\":\"Dd\",\"orig_pkts\":1,\"orig_ip_bytes\":90,\"resp_pkts\":1,\"resp_ip_bytes\":169}\n";
    }
    return log;
}

template <typename PerLine>
void overLines(benchmark::State& state, const std::string& log, PerLine perLine) {
    for (auto _ : state) {
        const char* p = log.data();
        const char* const end = p + log.size();
        while (p != end) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (newline == nullptr) newline = end;
            perLine(std::string_view(p, static_cast<std::size_t>(newline - p)));
            p = newline == end ? end : newline + 1;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * log.size()));
}

void splitOnly(benchmark::State& state, const std::string& log) {
    std::size_t lines = 0;
    overLines(state, log, [&](std::string_view) { ++lines; });
    benchmark::DoNotOptimize(lines);
}

void everyByte(benchmark::State& state, const std::string& log) {
    std::size_t colons = 0;
    overLines(state, log, [&](std::string_view line) {
        for (const char c : line) colons += c == ':';
    });
    benchmark::DoNotOptimize(colons);
}

void freeTextScan(benchmark::State& state, const std::string& log) {
    std::vector<TextSlot> slots;
    std::size_t found = 0;
    overLines(state, log, [&](std::string_view line) {
        slots.clear();
        ipveil::log::findAddresses(line, slots);
        found += slots.size();
    });
    state.counters["slots/s"] = benchmark::Counter(static_cast<double>(found), benchmark::Counter::kIsRate);
}

void jsonScan(benchmark::State& state, const std::string& log, const ipveil::log::JsonScanner& scanner) {
    std::vector<TextSlot> slots;
    std::size_t found = 0;
    overLines(state, log, [&](std::string_view line) {
        slots.clear();
        if (scanner.scan(line, slots) != nullptr) state.SkipWithError("refused a line");
        found += slots.size();
    });
    state.counters["slots/s"] = benchmark::Counter(static_cast<double>(found), benchmark::Counter::kIsRate);
}

const std::string& freeTextLog() {
    static const std::string log = freeText();
    return log;
}

const std::string& zeekLog() {
    static const std::string log = zeekConn();
    return log;
}

void BM_FreeText_Split(benchmark::State& state) { splitOnly(state, freeTextLog()); }
void BM_FreeText_EveryByte(benchmark::State& state) { everyByte(state, freeTextLog()); }
void BM_FreeText_Scan(benchmark::State& state) { freeTextScan(state, freeTextLog()); }
void BM_Zeek_Split(benchmark::State& state) { splitOnly(state, zeekLog()); }
void BM_Zeek_EveryByte(benchmark::State& state) { everyByte(state, zeekLog()); }
void BM_Zeek_Paths(benchmark::State& state) {
    jsonScan(state, zeekLog(), ipveil::log::JsonScanner({"id.orig_h", "id.resp_h"}, false));
}
void BM_Zeek_EveryAddress(benchmark::State& state) { jsonScan(state, zeekLog(), ipveil::log::JsonScanner({}, true)); }
void BM_Zeek_AsFreeText(benchmark::State& state) { freeTextScan(state, zeekLog()); }

BENCHMARK(BM_FreeText_Split);
BENCHMARK(BM_FreeText_EveryByte);
BENCHMARK(BM_FreeText_Scan);
BENCHMARK(BM_Zeek_Split);
BENCHMARK(BM_Zeek_EveryByte);
BENCHMARK(BM_Zeek_Paths);
BENCHMARK(BM_Zeek_EveryAddress);
BENCHMARK(BM_Zeek_AsFreeText);

}  // namespace

BENCHMARK_MAIN();
