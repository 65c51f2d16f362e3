// The descriptor I/O against the faults a command meets: a signal in the
// middle of a blocked call, a non-blocking pipe whose reader is slow, and a
// write that runs into the file size limit part way.
#include "file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> pattern(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 131 + i / 251);
    return bytes;
}

void onAlarm(int) {}

// Every byte crosses a pipe whole and in order, with the writer's end
// non-blocking (EAGAIN when full) or a timer signal without SA_RESTART
// interrupting both sides again and again (EINTR), while the reader drains
// slowly, in small pieces.
TEST(FileIo, PipeCarriesEveryByteThroughEagainAndEintr) {
    for (const bool interrupted : {false, true}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        if (!interrupted) {
            ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
        }
        struct sigaction action = {};
        action.sa_handler = onAlarm;  // no SA_RESTART: blocked calls fail with EINTR
        struct sigaction previous;
        ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
        const itimerval every{{0, 200}, {0, 200}};
        if (interrupted) {
            ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
        }

        const std::vector<unsigned char> sent = pattern(3 << 20);
        std::vector<unsigned char> received(sent.size() + 1);
        std::ptrdiff_t got = 0;
        std::thread reader([&] {
            std::size_t at = 0;
            for (;;) {
                // Small reads keep the pipe full, so the writer waits often.
                const std::ptrdiff_t n = ipveil::io::readSome(ends[0], received.data() + at, 4096);
                if (n <= 0) {
                    got = n < 0 ? -1 : static_cast<std::ptrdiff_t>(at);
                    return;
                }
                at += static_cast<std::size_t>(n);
            }
        });
        EXPECT_TRUE(ipveil::io::writeAll(ends[1], sent.data(), sent.size()));
        close(ends[1]);
        reader.join();
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous, nullptr);
        close(ends[0]);
        ASSERT_EQ(got, static_cast<std::ptrdiff_t>(sent.size())) << "interrupted " << interrupted;
        received.resize(sent.size());
        EXPECT_TRUE(received == sent) << "interrupted " << interrupted;
    }
}

// Under a file size limit, units go out whole until one does not fit; that
// one fails, and the file is cut back to the end of the last whole unit,
// also when the output started part way into the file.
TEST(FileIo, FailedWriteCutsRegularFileBackToLastWholeUnit) {
    char path[] = "/tmp/ipveil-io-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(write(fd, "head", 4), 4);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ipveil::io::ignoreFileSizeSignal();
        const rlimit limit{1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        ipveil::io::OutputFile out(fd);
        const std::vector<unsigned char> unit = pattern(300);
        for (int i = 0; i < 3; ++i) {
            if (!out.write(unit.data(), unit.size())) _exit(11);
        }
        // 4 + 900 written; this unit would end at 1204, past the limit.
        if (out.write(unit.data(), unit.size())) _exit(12);
        if (out.write(unit.data(), 1)) _exit(13);  // stays failed
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    struct stat info;
    ASSERT_EQ(fstat(fd, &info), 0);
    EXPECT_EQ(info.st_size, 904);
    close(fd);
}

}  // namespace
