// How the text is scanned: the reader's index of its buffer, the offsets of
// the bytes that are not decimal digits, which are where a record's fields
// end. It is built 64 bytes at a time, and the records are then read from the
// offsets without scanning their text again, so no record waits for the scan
// of the one before it. With AVX-512 the records' fields are then read in
// vectors too, and the writer prints IPv6 addresses in vectors. Which path
// runs is chosen once per process, as the AES paths are; every path reads
// and prints exactly alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipv6_address.h"

namespace ipveil::trace {

enum class ScanPath {
    Record,         // no index: each record's bytes are scanned as it is read
    PortableIndex,  // the index, a byte at a time
    Avx512Index,    // the index, 64 bytes a compare and the offsets packed in vectors; IPv6 text
                    // read and printed with AVX-512 too (VBMI and VBMI2)
};

bool scanPathAvailable(ScanPath path) noexcept;
// For tests and benchmarks. Otherwise the index is built where AVX-512 (with
// VBMI and VBMI2) packs its offsets, and not at all elsewhere: with narrower
// vectors, taking the offsets from the masks one by one costs more than
// scanning each record's bytes as it is read.
bool selectScanPath(ScanPath path) noexcept;
ScanPath activeScanPath() noexcept;
const char* scanPathName(ScanPath path) noexcept;

namespace scan_detail {

// Stores at out, in order, base + i for every i below 64 * blocks where p[i]
// is not a decimal digit, and returns how many. May store up to IndexSlack
// entries of no meaning after those.
using IndexBlocks = std::size_t (*)(const char* p, std::size_t blocks, std::uint32_t base,
                                    std::uint32_t* out) noexcept;
inline constexpr std::size_t IndexSlack = 32;

// The everyday IPv6 address at p, followed by whitespace: groups of 1 to 4
// hexadecimal digits in either case joined by single colons, with at most
// one "::". Stores it, sets nonDigits to the number of its bytes that are
// not decimal digits, and returns its length; returns 0 for anything else.
// Reads no more than the Ipv6TextWindow bytes from p.
using Ipv6Text = unsigned (*)(const char* p, Ipv6Address& address, unsigned& nonDigits) noexcept;
inline constexpr std::size_t Ipv6TextWindow = 48;

// A run of everyday records, read from the index: a time "D.D" and a size
// "D" (1 to 7 digits each side of the point, 1 to 8), the fields' separators
// the next entries of the index, then an IPv4 address "D.D.D.D" (1 to 8
// digits each) or an IPv6 one as Ipv6Text takes it, each record within 64
// bytes and the next starting right after it. The function takes records
// while they are of that shape, their times round without the exact
// division (see roundShortDecimal) and the index holds all of them, and
// stops before any other, leaving it to the reader. It reads a record's
// fields in vectors, all of them at once.
struct RecordRun {
    const char* text;
    std::size_t textEnd;  // the bytes of text that may be read
    std::size_t scanned;  // the bytes of text the index covers
    const std::uint32_t* index;
    std::size_t head;  // the entry of the first separator of the record at q
    std::size_t tail;
    std::size_t q;
    std::size_t count;  // of the batch, which the records are added to
    std::size_t count4;
    std::size_t count6;
    std::size_t capacity;
    std::uint64_t newlines;  // in the records taken
    float* times;
    std::uint32_t* sizes;
    bool* isIpv6;
    std::uint32_t* addresses;
    Ipv6Address* addresses6;

    // The bytes from q that may be read, of the 64 a record is looked for in.
    std::uint64_t readable(std::size_t from) const noexcept {
        return textEnd - from >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (textEnd - from)) - 1;
    }
};
using Records = void (*)(RecordRun& run) noexcept;

// Writes the RFC 5952 text of an address with no run of two or more zero
// groups at out, storing nothing past its end, and returns the end; returns
// nullptr, having written nothing, for any other address.
using Ipv6Print = char* (*)(char* out, const Ipv6Address& address) noexcept;

// How the reader scans its buffer: the index's function (null for
// ScanPath::Record), and the IPv6 address parser and the record run that go
// with it (null for the reader's own).
struct IndexPath {
    IndexBlocks blocks;
    Ipv6Text ipv6;
    Records records;
};

IndexPath activeIndexPath() noexcept;
// The writer's IPv6 printer on the same path; null for formatIpv6Address.
Ipv6Print activeIpv6Print() noexcept;

// Null where the CPU or the build lacks them.
IndexBlocks avx512IndexBlocks() noexcept;
Ipv6Text avx512Ipv6Text() noexcept;
Ipv6Print avx512Ipv6Printer() noexcept;
Records avx512Records() noexcept;

}  // namespace scan_detail

}  // namespace ipveil::trace
