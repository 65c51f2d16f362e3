// Builds pcap and pcapng files byte by byte, in either byte order, for the
// capture tests: every field is laid out here from the formats' definitions,
// independently of the reader and writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ipveil::capture::test {

using Bytes = std::vector<std::uint8_t>;

class Builder {
public:
    explicit Builder(bool bigEndian) : big(bigEndian) {}

    Builder& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Builder& u16(std::uint16_t v) { return big ? u8(v >> 8).u8(v & 0xFF) : u8(v & 0xFF).u8(v >> 8); }
    Builder& u32(std::uint32_t v) {
        return big ? u16(v >> 16).u16(v & 0xFFFF) : u16(v & 0xFFFF).u16(v >> 16);
    }
    Builder& u64(std::uint64_t v) {
        return big ? u32(v >> 32).u32(v & 0xFFFFFFFF) : u32(v & 0xFFFFFFFF).u32(v >> 32);
    }
    Builder& raw(const Bytes& v) {
        bytes.insert(bytes.end(), v.begin(), v.end());
        return *this;
    }
    Builder& pad4() {
        while (bytes.size() % 4 != 0) u8(0);
        return *this;
    }

    bool big;
    Bytes bytes;
};

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// n bytes that differ from packet to packet.
inline Bytes payload(std::size_t n, unsigned seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed * 31 + (i >> 8));
    return bytes;
}

template <typename Sequence>
void append(Sequence& to, const Sequence& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// pcap
inline Bytes pcapHeader(bool big, std::uint32_t magic, std::uint32_t snap, std::uint32_t link) {
    Builder b(big);
    b.u32(magic).u16(2).u16(4).u32(0).u32(0).u32(snap).u32(link);
    return b.bytes;
}

inline Bytes pcapRecord(bool big, std::uint32_t seconds, std::uint32_t fraction, const Bytes& data,
                        std::uint32_t original) {
    Builder b(big);
    b.u32(seconds).u32(fraction).u32(static_cast<std::uint32_t>(data.size())).u32(original).raw(data);
    return b.bytes;
}

// pcapng
struct Option {
    std::uint16_t code;
    Bytes value;
};
using Options = std::vector<Option>;

inline void putOptions(Builder& b, const Options& options) {
    for (const Option& o : options) b.u16(o.code).u16(static_cast<std::uint16_t>(o.value.size())).raw(o.value).pad4();
    if (!options.empty()) b.u32(0);
}

// A block of `type` whose body (after the type and length, before the
// trailing length) is `body`.
inline Bytes block(bool big, std::uint32_t type, const Bytes& body) {
    Builder b(big);
    const auto total = static_cast<std::uint32_t>(12 + body.size());
    b.u32(type).u32(total).raw(body).u32(total);
    return b.bytes;
}

inline Bytes sectionHeader(bool big, const Options& options = {}, std::uint64_t length = ~std::uint64_t{0}) {
    Builder b(big);
    b.u32(0x1A2B3C4D).u16(1).u16(0).u64(length);
    putOptions(b, options);
    return block(big, 0x0A0D0D0A, b.bytes);
}

inline Bytes interface(bool big, std::uint16_t link, std::uint32_t snap, const Options& options = {}) {
    Builder b(big);
    b.u16(link).u16(0).u32(snap);
    putOptions(b, options);
    return block(big, 1, b.bytes);
}

inline Bytes enhancedPacket(bool big, std::uint32_t interfaceId, std::uint64_t time, const Bytes& data,
                            std::uint32_t original, const Options& options = {}) {
    Builder b(big);
    b.u32(interfaceId).u32(time >> 32).u32(time & 0xFFFFFFFF).u32(static_cast<std::uint32_t>(data.size()));
    b.u32(original).raw(data).pad4();
    putOptions(b, options);
    return block(big, 6, b.bytes);
}

inline Bytes obsoletePacket(bool big, std::uint16_t interfaceId, std::uint64_t time, const Bytes& data,
                            std::uint32_t original, const Options& options = {}) {
    Builder b(big);
    b.u16(interfaceId).u16(3).u32(time >> 32).u32(time & 0xFFFFFFFF).u32(static_cast<std::uint32_t>(data.size()));
    b.u32(original).raw(data).pad4();
    putOptions(b, options);
    return block(big, 2, b.bytes);
}

inline Bytes simplePacket(bool big, const Bytes& data, std::uint32_t original) {
    Builder b(big);
    b.u32(original).raw(data).pad4();
    return block(big, 3, b.bytes);
}

inline Bytes statistics(bool big, std::uint32_t interfaceId, std::uint64_t time, const Options& options = {}) {
    Builder b(big);
    b.u32(interfaceId).u32(time >> 32).u32(time & 0xFFFFFFFF);
    putOptions(b, options);
    return block(big, 5, b.bytes);
}

// A name resolution block with one IPv4 record naming `name`.
inline Bytes nameResolution(bool big, const std::string& name) {
    Builder b(big);
    Bytes value{10, 1, 2, 3};
    append(value, text(name));
    value.push_back(0);
    b.u16(1).u16(static_cast<std::uint16_t>(value.size())).raw(value).pad4().u32(0);
    return block(big, 4, b.bytes);
}

inline Bytes u32Value(bool big, std::uint32_t v) { return Builder(big).u32(v).bytes; }
inline Bytes u64Value(bool big, std::uint64_t v) { return Builder(big).u64(v).bytes; }

}  // namespace ipveil::capture::test
