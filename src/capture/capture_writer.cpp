#include "capture_writer.h"

#include <cstring>

#include "capture_bytes.h"

namespace ipveil::capture {

namespace {

constexpr std::uint8_t Zeros[4] = {};

// Bytes the frame takes in the output.
std::size_t frameBytes(const Frame& frame) noexcept {
    switch (frame.kind) {
    case RecordKind::PcapRecord:
        return 16 + std::size_t{frame.captured};
    case RecordKind::SimplePacket:
        return 16 + padded(frame.stored);
    default:
        return 32 + padded(frame.captured) + frame.optionBytes;
    }
}

}  // namespace

CaptureWriter::CaptureWriter(int fd) : out(fd), buffer(new std::uint8_t[BufferBytes]) {}

bool CaptureWriter::flush() noexcept {
    if (used == 0) return !out.failed();
    const bool ok = out.write(buffer.get(), used);
    used = 0;
    return ok;
}

bool CaptureWriter::reserve(std::size_t size) noexcept { return used + size <= BufferBytes || flush(); }

bool CaptureWriter::putMetadata(const std::uint8_t* data, std::size_t size) noexcept {
    if (size == 0) return true;
    if (!reserve(size)) return false;
    std::memcpy(buffer.get() + used, data, size);
    used += size;
    return true;
}

void CaptureWriter::putFrame(const Frame& frame) noexcept {
    std::uint8_t* p = buffer.get() + used;
    // The rewriter only lowers it; never write past the bytes that were read.
    const std::uint32_t captured = frame.captured < frame.stored ? frame.captured : frame.stored;
    const bool swapped = frame.swapped;
    switch (frame.kind) {
    case RecordKind::PcapRecord:
        std::memcpy(p, frame.record, 12);
        store32(p + 8, captured, swapped);
        std::memcpy(p + 12, frame.record + 12, 4);
        std::memcpy(p + 16, frame.data, captured);
        used += 16 + captured;
        return;
    case RecordKind::SimplePacket: {
        const std::uint32_t total = 16 + padded(frame.stored);
        std::memcpy(p, frame.record, 12);
        store32(p + 4, total, swapped);
        std::memcpy(p + 12, frame.data, captured);
        std::memset(p + 12 + captured, 0, total - 16 - captured);
        store32(p + total - 4, total, swapped);
        used += total;
        return;
    }
    default: {
        const std::uint32_t data = padded(captured);
        const std::uint32_t total = 32 + data + frame.optionBytes;
        std::memcpy(p, frame.record, 28);
        store32(p + 4, total, swapped);
        store32(p + 20, captured, swapped);
        std::memcpy(p + 28, frame.data, captured);
        std::memcpy(p + 28 + captured, Zeros, data - captured);
        std::memcpy(p + 28 + data, frame.record + 28 + padded(frame.stored), frame.optionBytes);
        store32(p + total - 4, total, swapped);
        used += total;
        return;
    }
    }
}

bool CaptureWriter::write(const CaptureReader& reader, const Frame* frames, std::size_t count) noexcept {
    if (out.failed()) return false;
    const std::uint8_t* metadata = reader.metadata();
    std::size_t written = 0;  // of the metadata
    for (std::size_t i = 0; i < count; ++i) {
        const Frame& frame = frames[i];
        if (!putMetadata(metadata + written, frame.metadataEnd - written)) return false;
        written = frame.metadataEnd;
        if (!reserve(frameBytes(frame))) return false;
        putFrame(frame);
    }
    if (!putMetadata(metadata + written, reader.metadataSize() - written)) return false;
    return (used < FlushBytes && !reader.inputDrained()) || flush();
}

bool CaptureWriter::finish() noexcept { return flush(); }

}  // namespace ipveil::capture
