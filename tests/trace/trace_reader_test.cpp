// TraceReader and RecordWriter together against the C library: every
// generated well-formed trace must give what fscanf reads and printf prints,
// and every cut of a trace must give the records scanf completes, then a
// malformed record on the right line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "scan_path_test_support.h"
#include "trace_reader.h"
#include "trace_test_support.h"

namespace {

using ipveil::cmd_test::LibraryRun;
using ipveil::cmd_test::ScanfReference;
using ipveil::cmd_test::runLibrary;
using ipveil::cmd_test::scanfReference;
using ipveil::cmd_test::TraceGenerator;
using ipveil::trace::ReadResult;
using ipveil::trace::TraceReader;

std::uint64_t lineAt(const std::string& text, std::size_t offset) {
    return 1 + static_cast<std::uint64_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// The tests below run once for each way the reader can scan its buffer:
// record by record, and with the index (a byte at a time, and with AVX-512,
// skipped where the CPU lacks it).
class TraceReaderOnScanPath : public ipveil::trace_test::OnScanPath {};
IPVEIL_ON_EVERY_SCAN_PATH(TraceReaderOnScanPath);

TEST(TraceReader, MatchesScanfOnGeneratedTraces) {
    for (int layout = 0; layout < 4; ++layout) {
        TraceGenerator gen(static_cast<std::uint64_t>(1000 + layout));
        for (int t = 0; t < 150; ++t) {
            const std::string text = gen.trace(1 + gen.below(40), static_cast<TraceGenerator::Layout>(layout));
            const auto ref = scanfReference(text);
            ASSERT_TRUE(ref.complete) << "generated a trace scanf does not read:\n" << text;
            const LibraryRun run = runLibrary(text);
            ASSERT_EQ(run.result, ReadResult::End) << text;
            ASSERT_EQ(run.output, ref.output) << text;
        }
    }
}

// A trace that ends anywhere: the records scanf completes, then the cut
// record is malformed on the line where its time field starts.
TEST_P(TraceReaderOnScanPath, EveryCutOfATraceEndsOrIsMalformedLikeScanf) {
    TraceGenerator gen(77);
    for (int t = 0; t < 8; ++t) {
        const std::string text = gen.trace(3);
        for (std::size_t length = 0; length <= text.size(); ++length) {
            const std::string cut = text.substr(0, length);
            const auto ref = scanfReference(cut);
            const LibraryRun run = runLibrary(cut);
            ASSERT_EQ(run.output, ref.output) << '"' << cut << '"';
            if (ref.complete) {
                ASSERT_EQ(run.result, ReadResult::End) << '"' << cut << '"';
            } else {
                ASSERT_EQ(run.result, ReadResult::Malformed) << '"' << cut << '"';
                const std::size_t start = cut.find_first_not_of(" \t\n\v\f\r", ref.consumed);
                ASSERT_EQ(run.line, lineAt(cut, start)) << '"' << cut << '"';
            }
        }
    }
}

// The reader refills its buffer with the unread part of a record moved to the
// front. Place the buffer's end at every offset of a record, whitespace and
// newlines included, with a malformed record after it whose line must still
// be counted right.
TEST_P(TraceReaderOnScanPath, RecordsStraddlingARefillAreReadWhole) {
    const std::string before = "1 2 3.4.5.6";
    const std::string after = "+5e-1\n8\n9.\n10.11.12";
    // An IPv6 address whose text starts like an IPv4 one is told apart only
    // once its first ':' is held.
    const std::string straddling[] = {"+1.25e+1\t\n+0042 \v 010.\n 020.\t\f030.+0040",
                                      "0x1.8p3 \r\n 4294967295 255.255.255.256",
                                      "12.5 61 7a35:18:bc6e::3c16:1.2.3.4"};
    const std::string padPattern = " \n\t \r\n  \v\f";
    for (const std::string& record : straddling) {
        const std::string records = before + "\n" + record + "\n" + after;
        const auto ref = scanfReference(records);
        ASSERT_TRUE(ref.complete);
        for (std::size_t k = 0; k <= record.size() + 1; ++k) {
            // The record starts k bytes before the end of the first buffer.
            std::string text;
            const std::size_t pad = TraceReader::BufferBytes - k - before.size() - 1;
            while (text.size() < pad) text += padPattern;
            text.resize(pad);
            text += records;
            text += "\n\nbad 1 2.3.4.5";
            const LibraryRun run = runLibrary(text);
            ASSERT_EQ(run.output, ref.output) << "buffer ends " << k << " bytes into the record";
            ASSERT_EQ(run.result, ReadResult::Malformed);
            ASSERT_EQ(run.line, lineAt(text, text.size() - 13)) << "buffer ends " << k << " bytes into the record";
        }
    }
}

}  // namespace

namespace {

// Records of the everyday shape, "dddd.dddddd ddd d.d.d.d", take the reader's
// whole-record path; its edges are fields of 1 to 8 digits, times of up to 7
// digits on each side of the point, single separators of every kind, and
// times near a float midpoint. Long traces keep most records well inside the
// buffer, where that path runs.
TEST_P(TraceReaderOnScanPath, EverydayRecordsMatchScanf) {
    std::mt19937_64 rng(31);
    auto digits = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
        return s;
    };
    auto count = [&](int most) { return 1 + static_cast<int>(rng() % static_cast<unsigned>(most)); };
    static constexpr char Separators[] = {' ', '\t', '\n', '\r', '\v', '\f'};
    auto separator = [&] { return rng() % 4 != 0 ? ' ' : Separators[rng() % 6]; };
    static constexpr const char* NearMidpoints[] = {"16777217.0", "0.0234375", "8388608.5", "1.0000001",
                                                    "16777216.9", "1234567.125", "0.0000001"};
    for (int trial = 0; trial < 20; ++trial) {
        std::string text;
        for (int r = 0; r < 3000; ++r) {
            const std::string time =
                rng() % 50 == 0 ? NearMidpoints[rng() % 7] : digits(count(8)) + "." + digits(count(8));
            text += time + separator() + digits(count(9)) + separator();
            for (int c = 0; c < 4; ++c) text += digits(count(rng() % 8 == 0 ? 9 : 3)) + (c < 3 ? "." : "");
            text += r % 7 == 0 ? "\r\n" : "\n";
        }
        const ScanfReference reference = scanfReference(text);
        const LibraryRun run = runLibrary(text);
        ASSERT_TRUE(reference.complete);
        ASSERT_EQ(run.result, ReadResult::End);
        ASSERT_EQ(run.output, reference.output) << "trial " << trial;
    }
}

}  // namespace

namespace {

// A record is read within the reader's buffer; one longer than the buffer,
// here by whitespace between its fields, is refused rather than guessed at,
// after the records before it.
TEST(TraceReader, RecordLongerThanTheBufferIsMalformed) {
    const std::string text = "1 2 3.4.5.6\n7" + std::string(TraceReader::BufferBytes + 10, ' ') + "8 9.10.11.12\n";
    const LibraryRun run = runLibrary(text);
    EXPECT_EQ(run.result, ReadResult::Malformed);
    EXPECT_EQ(run.line, 2u);
    EXPECT_EQ(run.output, scanfReference("1 2 3.4.5.6\n").output);
}

}  // namespace

namespace {

using ipveil::address_test::randomAddress;
using ipveil::address_test::randomForm;

// Records of the everyday shape with an IPv6 address take the reader's
// whole-record path for IPv6: every text form of the address, leading zeros
// and either case included, in long traces so that most records lie well
// inside the buffer.
TEST_P(TraceReaderOnScanPath, EverydayIpv6RecordsMatchInetPton) {
    std::mt19937_64 rng(47);
    for (int trial = 0; trial < 10; ++trial) {
        std::string text;
        for (int r = 0; r < 3000; ++r) {
            text += std::to_string(rng() % 100000) + "." + std::to_string(rng() % 1000000) + " " +
                    std::to_string(rng() % 1501) + (rng() % 8 == 0 ? "\t" : " ");
            text += rng() % 4 == 0 ? "10.1.2.3" : randomForm(randomAddress(rng), rng);
            text += rng() % 9 == 0 ? "\r\n" : "\n";
        }
        const ScanfReference reference = scanfReference(text);
        const LibraryRun run = runLibrary(text);
        ASSERT_TRUE(reference.complete);
        ASSERT_EQ(run.result, ReadResult::End);
        ASSERT_EQ(run.output, reference.output) << "trial " << trial;
    }
}

// Address fields of hexadecimal digits and colons only, valid or one edit
// away from valid (a colon or digit added, dropped or changed, a second
// "::"), amid everyday records: the whole-record path must take exactly what
// inet_pton takes, and anything else must come out malformed on its line.
TEST_P(TraceReaderOnScanPath, NearlyIpv6AddressesAreReadLikeInetPton) {
    std::mt19937_64 rng(53);
    static constexpr char Alphabet[] = "0123456789abcdefABCDEF:::::";
    std::string before;
    for (int r = 0; r < 20; ++r) {  // some with line feeds between fields, which count towards the lines
        before += std::string(r % 3 == 0 ? "1.5\n40\n" : "1.5 40 ") + randomForm(randomAddress(rng), rng) + "\n";
    }
    const std::string after = "\n2.25 60 1::2\n3.5 70 a:b:c:d:e:f:1:2\n4.75 80 ::\n5.0 90 1.2.3.4\n6 7 8.9.10.11\n";
    int accepted = 0;
    for (int t = 0; t < 6000; ++t) {
        std::string address;
        if (t % 5 == 0) {
            const std::size_t length = 1 + rng() % 40;
            for (std::size_t i = 0; i < length; ++i) address += Alphabet[rng() % (sizeof Alphabet - 1)];
        } else {
            do address = randomForm(randomAddress(rng), rng);
            while (address.find('.') != std::string::npos);
            const std::size_t at = rng() % (address.size() + 1);
            const std::size_t kind = rng() % 6;
            if (kind == 1) address.insert(at, 1, ':');
            if (kind == 2) address.insert(at, 1, Alphabet[rng() % 22]);
            if (kind == 3 && at < address.size()) address.erase(at, 1);
            if (kind == 4 && at < address.size()) address[at] = Alphabet[rng() % (sizeof Alphabet - 1)];
            if (kind == 5) address.insert(at, "::");
            if (address.empty()) address = ":";
        }
        const std::string text = before + "7.125 1500 " + address + after;
        const ScanfReference reference = scanfReference(text);
        const LibraryRun run = runLibrary(text);
        ASSERT_EQ(run.output, reference.output) << address;
        ASSERT_EQ(run.result, reference.complete ? ReadResult::End : ReadResult::Malformed) << address;
        if (!reference.complete) {
            ASSERT_EQ(run.line, lineAt(text, before.size())) << address;
        }
        accepted += reference.complete;
    }
    EXPECT_GT(accepted, 1000);  // both sides of the edge are reached
}

}  // namespace

namespace {

// However the reader scans its buffer, it reads the records scanf reads and stops at the same malformed one, on its line.
// Everyday IPv4 and IPv6 records amid records of every other syntax and runs
// of whitespace put records across every edge of the index's blocks; the
// traces end in a record whose field holds a letter, which only a check of
// that field refuses, followed by more records.
TEST_P(TraceReaderOnScanPath, MixedRecordsReadLikeScanf) {
    std::mt19937_64 rng(59);
    TraceGenerator gen(61);
    auto digits = [&](unsigned most) {
        std::string s;
        const unsigned n = 1 + static_cast<unsigned>(rng() % most);
        for (unsigned i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
        return s;
    };
    static constexpr const char* Separators[] = {" ", " ", " ", "\t", "\n", "\r\n", "  \n", "\v\f"};
    auto separator = [&] { return Separators[rng() % 8]; };
    static constexpr const char* BadEnds[] = {"12.5 6a 1.2.3.4", "1a.5 60 1.2.3.4",          "12.5 60 1.2b.3.4",
                                              "12.5 60 1.2.3c.4", "12.5 60 1:2:3:4:5:6:7:8g", "12.5 60 1.2.3",
                                              "12.5 60 1.2 3.4",  "12.5 60 1.2.3 4"};
    // The longest records of the everyday shapes, about the 64 bytes a record
    // is read in vectors within.
    static constexpr const char* LongestRecords[] = {
        "1234567.1234567 12345678 ffff:FFFF:ffff:ffff:ffff:ffff:ffff:ffff",
        "123456.1234567 12345678 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
        "1234567.1234567 12345678 12345678.12345678.12345678.12345678",
        "9999999.9999999 99999999 0:0:0:0:0:0:0:0", "1.1 1 ::"};
    for (int trial = 0; trial < 16; ++trial) {
        std::string text;
        for (int r = 0; r < 1500; ++r) {
            const unsigned kind = static_cast<unsigned>(rng() % 12);
            if (kind == 0) {
                text += gen.trace(1, static_cast<TraceGenerator::Layout>(rng() % 4));
            } else if (kind == 11) {
                text += LongestRecords[rng() % 5];
            } else {
                text += digits(8) + "." + digits(8) + separator() + digits(9) + separator();
                if (kind < 4) {
                    text += randomForm(randomAddress(rng), rng);
                } else {
                    for (int c = 0; c < 4; ++c) text += digits(rng() % 8 == 0 ? 9 : 3) + (c < 3 ? "." : "");
                }
            }
            text += separator();
        }
        // Then more records, so that the bad one lies where the index reaches.
        text += BadEnds[trial % 8];
        for (int r = 0; r < 40; ++r) text += "\n1.5 60 1.2.3.4";
        const ScanfReference reference = scanfReference(text);
        ASSERT_FALSE(reference.complete);
        const std::size_t bad = text.find_first_not_of(" \t\n\v\f\r", reference.consumed);
        const LibraryRun run = runLibrary(text);
        ASSERT_EQ(run.output, reference.output) << "trial " << trial;
        ASSERT_EQ(run.result, ReadResult::Malformed);
        ASSERT_EQ(run.line, lineAt(text, bad)) << "trial " << trial;
    }
    // An address followed by another byte than whitespace is refused,
    // though scanf would read the address and stop at that byte.
    std::string before;
    for (int r = 0; r < 200; ++r) before += "12345.678912 60 10.1.2." + std::to_string(r) + "\n";
    for (const char stray : {'c', ':', '#', '+', '-'}) {
        const std::string text = before + "12.5 60 1.2.3.4" + stray + "5 60 1.2.3.4\n" + before;
        const LibraryRun run = runLibrary(text);
        ASSERT_EQ(run.output, scanfReference(before).output) << stray;
        ASSERT_EQ(run.result, ReadResult::Malformed) << stray;
        ASSERT_EQ(run.line, 201u) << stray;
    }
}

}  // namespace
