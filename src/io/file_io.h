// Descriptor I/O for the commands: what read(2) and write(2) leave to the
// caller, done once.
//
// A signal handler may interrupt a call (EINTR): it is retried, but a read
// gives up once a stop signal has been caught (see catchStopSignals). A parent may
// hand over a non-blocking descriptor (EAGAIN): the call waits for it with
// poll and goes on, so a slow pipe is never mistaken for a failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipveil::io {

// Reads up to `size` bytes: the count read, 0 at the end of the input, or
// -1 on an error (errno tells which; EINTR once a stop signal is caught).
std::ptrdiff_t readSome(int fd, void* buffer, std::size_t size) noexcept;

// Reads until `size` bytes are in or the input ends: the count read (less
// than size only at the end), or -1 on an error.
std::ptrdiff_t readFull(int fd, void* buffer, std::size_t size) noexcept;

// Writes every byte, also after a stop signal, so that a unit is never left
// half written; false on an error (errno tells which).
bool writeAll(int fd, const void* data, std::size_t size) noexcept;

// An output whose every write() is a whole unit (whole records, whole
// packets). When a write fails part way -- a full disk, a file size limit --
// and the output is a regular file, the file is cut back to where that write
// began, so what is left is always whole units. Pipes and terminals cannot be
// cut back; what reached them stays.
class OutputFile {
public:
    explicit OutputFile(int fd) noexcept : fd(fd) {}

    // Writes the unit; false once any write has failed.
    bool write(const void* data, std::size_t size) noexcept;
    bool failed() const noexcept { return broken; }
    int descriptor() const noexcept { return fd; }

private:
    void cutBack() noexcept;

    int fd;
    bool started = false;
    bool regular = false;
    bool broken = false;
    std::int64_t whole = 0;  // offset just past the last whole unit, on a regular file
};

// Makes a write past the file size limit fail with EFBIG, instead of the
// signal ending the process with half a unit written.
void ignoreFileSizeSignal() noexcept;

// SIGINT and SIGTERM no longer end the process at once: the first one is
// noted, reads stop (they fail with EINTR, also a wait for input) and writes
// go on, so that the caller can put out its last whole units and then end
// by the signal with endByStopSignal(). A second signal ends the process
// there and then. A signal ignored when the process started (a background
// job's SIGINT) stays ignored.
void catchStopSignals() noexcept;

// The stop signal caught, or 0.
int stopSignal() noexcept;

// Ends the process as the caught stop signal would have ended it, so that its
// parent sees that signal (a shell: status 128 + its number).
[[noreturn]] void endByStopSignal() noexcept;

}  // namespace ipveil::io
