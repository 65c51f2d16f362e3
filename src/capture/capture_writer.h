// CaptureWriter: writes the windows of a CaptureReader back out, in the
// input's format, byte order and order of blocks.
//
// Each frame goes out with its own record or block header: time, interface,
// original length and kept options as read, its captured length as the
// rewriter left it, with the block's lengths and padding recomputed. A
// simple packet block cannot say it holds fewer bytes than its snap length
// or original length allow, so bytes cut from it go out as zeros (the frame
// rewriter zeroes them itself, with the checksums, for such a record).
// The window's metadata goes out as the reader queued it, between the frames
// it stood between.
//
// Output is built in one buffer, allocated once, and handed to io::OutputFile
// in large writes of whole records and blocks, so a write that fails part
// way leaves a regular file holding a valid capture of the packets before it.
// It is handed over once FlushBytes are buffered, and whenever the reader is
// about to wait for input, so a live capture read from a pipe comes out as
// its packets come in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture_frame.h"
#include "capture_reader.h"
#include "file_io.h"

namespace ipveil::capture {

class CaptureWriter {
public:
    // Room for a whole kept block (grown by an opt_endofopt) or the metadata
    // queue, with the rest of a window.
    static constexpr std::size_t BufferBytes = 2 << 20;
    static constexpr std::size_t FlushBytes = 1 << 20;

    explicit CaptureWriter(int fd);
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Queues the reader's window for output: its metadata and `count` frames,
    // the ones read() returned, in order. False once any write has failed
    // (errno tells why).
    bool write(const CaptureReader& reader, const Frame* frames, std::size_t count) noexcept;

    // Writes what is still buffered; false if any write failed.
    bool finish() noexcept;

private:
    bool flush() noexcept;
    // Room for `size` more bytes in the buffer, flushing what it holds first
    // if need be.
    bool reserve(std::size_t size) noexcept;
    bool putMetadata(const std::uint8_t* data, std::size_t size) noexcept;
    void putFrame(const Frame& frame) noexcept;

    io::OutputFile out;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t used = 0;
};

}  // namespace ipveil::capture
