// The record loop allocates nothing: reading, anonymizing and writing a trace
// with the reader, anonymizer and writer the command uses must not allocate
// once the objects exist; nor does ipveil-pcap's loop over a capture of
// every frame the packet room walks. This program replaces malloc, calloc and realloc
// (which operator new calls too) and counts the calls made while the loop
// runs. Under AddressSanitizer the allocator belongs to the sanitizer, so the
// test is skipped there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include "frame_cases.h"
#include "pcap_loop.h"
#include "prefix_anonymizer.h"
#include "record_loop.h"
#include "trace_test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define IPVEIL_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define IPVEIL_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef IPVEIL_COUNT_ALLOCATIONS
#define IPVEIL_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

#if IPVEIL_COUNT_ALLOCATIONS
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

namespace {
void note() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void* malloc(std::size_t n) {
    note();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    note();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n) {
    note();
    return __libc_realloc(p, n);
}
#endif

namespace {

TEST(RecordLoop, AllocatesNothing) {
    if (!IPVEIL_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer owns the allocator";
    ipveil::cmd_test::TraceGenerator generator(23);
    const std::string text = generator.trace(30000);
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    std::fwrite(text.data(), 1, text.size(), in);
    std::rewind(in);
    // As the command does: no stdio buffers, which libc would allocate on first use.
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::setvbuf(out, nullptr, _IONBF, 0);

    std::uint8_t key[32] = {};
    const ipveil::PrefixAnonymizer anonymizer(key);
    auto reader = std::make_unique<ipveil::trace::TraceReader>(in);
    auto writer = std::make_unique<ipveil::trace::RecordWriter>(out);

    // Proof that the counter counts.
    counting = true;
    std::free(std::malloc(1));
    counting = false;
    ASSERT_EQ(allocations.exchange(0), 1);

    counting = true;
    const auto outcome = ipveil::cmd::runRecordLoop(*reader, *writer, anonymizer, ipveil::cmd::Mapping::Anonymize);
    counting = false;

    EXPECT_EQ(outcome.stop, ipveil::trace::ReadResult::End);
    EXPECT_FALSE(outcome.writeFailed);
    const std::string output = ipveil::cmd_test::readAll(out);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 30000);
    EXPECT_EQ(allocations.load(), 0);
    std::fclose(in);
    std::fclose(out);
}

TEST(PcapLoop, AllocatesNothing) {
    if (!IPVEIL_COUNT_ALLOCATIONS) GTEST_SKIP() << "the sanitizer owns the allocator";
    using namespace ipveil;
    // A pcap file of the Ethernet test frames over and over: many windows.
    std::vector<std::uint8_t> file;
    // Little-endian, as the magic is written.
    const auto put = [&file](std::uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) file.push_back(static_cast<std::uint8_t>(v >> shift));
    };
    for (std::uint32_t v : {0xa1b2c3d4u, 0x00040002u, 0u, 0u, 65535u, 1u}) put(v);
    packet::test::Mappings mappings;
    std::vector<packet::test::Bytes> frames;
    for (const auto& c : packet::test::cases()) {
        if (c.linkType == packet::LinkEthernet) frames.push_back(c.build(mappings.identity).bytes);
    }
    std::uint32_t packets = 0;
    for (; packets < 5000; ++packets) {
        const auto& frame = frames[packets % frames.size()];
        const auto length = static_cast<std::uint32_t>(frame.size());
        for (std::uint32_t v : {packets, 0u, length, length}) put(v);
        file.insert(file.end(), frame.begin(), frame.end());
    }
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), in), file.size());
    std::fflush(in);
    lseek(fileno(in), 0, SEEK_SET);

    auto reader = std::make_unique<capture::CaptureReader>(fileno(in));
    auto writer = std::make_unique<capture::CaptureWriter>(fileno(out));
    auto rewriter = std::make_unique<packet::FrameRewriter>(packet::test::Key, packet::Policy{});
    auto window = std::make_unique<capture::Frame[]>(cmd::PcapWindowFrames);

    counting = true;
    std::size_t count = 0;
    const capture::ReadStatus first = reader->read(window.get(), cmd::PcapWindowFrames, count);
    const cmd::PcapOutcome outcome = cmd::runPcapLoop(*reader, *writer, *rewriter, window.get(), count, first);
    counting = false;

    EXPECT_EQ(outcome.stop, capture::ReadStatus::End);
    EXPECT_FALSE(outcome.writeFailed);
    EXPECT_EQ(rewriter->counts().packets, packets);
    EXPECT_EQ(allocations.load(), 0);
    std::fclose(in);
    std::fclose(out);
}

}  // namespace
