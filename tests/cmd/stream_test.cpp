// ipveil reading a stream rather than a regular file: a named pipe and
// /dev/stdin fed through a pipe, larger than the reader's buffer, must give
// the same output as the same trace in a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "trace_test_support.h"

namespace {

namespace fs = std::filesystem;

std::string slurpFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ipveil-stream-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        // About 3 MiB, one record a line: the reader refills several times
        // from the stream, and the trace can be split at line boundaries.
        ipveil::cmd_test::TraceGenerator generator(17);
        std::ofstream(dir / "trace", std::ios::binary) << generator.trace(60000, ipveil::cmd_test::TraceGenerator::Layout::RecordPerLine);
        ASSERT_EQ(shell("'" IPVEIL_COMMAND "' trace > expected"), 0);
        expected = slurpFile(dir / "expected");
        ASSERT_GT(expected.size(), 2u << 20);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    int shell(const std::string& command) {
        const std::string line = "cd '" + dir.string() + "' || exit 1; " + command;
        const int status = std::system(line.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir;
    std::string expected;
};

TEST_F(Stream, DevStdinFromAPipe) {
    ASSERT_EQ(shell("cat trace | '" IPVEIL_COMMAND "' /dev/stdin > out"), 0);
    EXPECT_EQ(slurpFile(dir / "out"), expected);
}

TEST_F(Stream, NamedPipe) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // The writer trickles the trace in small pieces, so reads come back short.
    ASSERT_EQ(shell("(timeout 60 '" IPVEIL_COMMAND "' fifo > out; echo $? > status) & "
                    "timeout 60 dd if=trace of=fifo bs=4093 status=none; wait"),
              0);
    EXPECT_EQ(slurpFile(dir / "status"), "0\n");
    EXPECT_EQ(slurpFile(dir / "out"), expected);
}

TEST_F(Stream, MalformedRecordInAStreamIsReported) {
    ASSERT_EQ(shell("(cat trace; printf '1 2 3.4.5\\n') | '" IPVEIL_COMMAND "' /dev/stdin > out 2> err; "
                    "test $? -eq 253"),
              0);
    EXPECT_EQ(slurpFile(dir / "out"), expected);
    EXPECT_EQ(slurpFile(dir / "err").rfind("Malformed record at line ", 0), 0u);
}

}  // namespace

namespace {

// The mapping is stateless: a trace cut at a record boundary and anonymized
// piece by piece gives the output of one run over the whole.
TEST_F(Stream, PiecesAnonymizedSeparatelyAgreeWithTheWhole) {
    ASSERT_EQ(shell("split -l 20000 trace piece. && for p in piece.*; do '" IPVEIL_COMMAND "' $p >> out || exit 1; done"), 0);
    EXPECT_EQ(slurpFile(dir / "out"), expected);
}

}  // namespace
