#include "file_io.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace ipveil::io {

namespace {

volatile std::sig_atomic_t caughtSignal = 0;

void noteStopSignal(int signal) noexcept { caughtSignal = signal; }

// Waits until fd is ready for `events`; false if poll itself fails, or a
// wait for input is cut by a stop signal.
bool waitFor(int fd, short events) noexcept {
    pollfd entry{fd, events, 0};
    for (;;) {
        if (poll(&entry, 1, -1) >= 0) return true;
        if (errno != EINTR || (events == POLLIN && caughtSignal != 0)) return false;
    }
}

}  // namespace

std::ptrdiff_t readSome(int fd, void* buffer, std::size_t size) noexcept {
    for (;;) {
        // Checked before the call too: a signal that came just before it
        // would not interrupt a read that then waits for a slow input.
        if (caughtSignal != 0) {
            errno = EINTR;
            return -1;
        }
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLIN)) continue;
        return -1;
    }
}

std::ptrdiff_t readFull(int fd, void* buffer, std::size_t size) noexcept {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const std::ptrdiff_t got = readSome(fd, bytes + done, size - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::ptrdiff_t>(done);
}

bool writeAll(int fd, const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put > 0) {
            bytes += put;
            size -= static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT)) continue;
        if (put == 0) errno = EIO;
        return false;
    }
    return true;
}

bool OutputFile::write(const void* data, std::size_t size) noexcept {
    if (broken) return false;
    if (!started) {
        started = true;
        struct stat info;
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        regular = at >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        whole = regular ? at : 0;
    }
    if (writeAll(fd, data, size)) {
        whole += static_cast<std::int64_t>(size);
        return true;
    }
    broken = true;
    cutBack();
    return false;
}

void OutputFile::cutBack() noexcept {
    if (!regular) return;
    const int saved = errno;
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_size > whole) {
        if (::ftruncate(fd, static_cast<off_t>(whole)) == 0) ::lseek(fd, static_cast<off_t>(whole), SEEK_SET);
    }
    errno = saved;
}

void ignoreFileSizeSignal() noexcept { std::signal(SIGXFSZ, SIG_IGN); }

void catchStopSignals() noexcept {
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    // No SA_RESTART: a read waiting for input must return. SA_RESETHAND: the
    // signal's second coming is not waited out.
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM}) {
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            ::sigaction(signal, &action, nullptr);
        }
    }
}

int stopSignal() noexcept { return caughtSignal; }

void endByStopSignal() noexcept {
    const int signal = caughtSignal;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    // Not reached unless the signal is blocked: the status a shell would show.
    ::_exit(128 + signal);
}

}  // namespace ipveil::io
