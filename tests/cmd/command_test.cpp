// The ipveil command run as a process: exit statuses and messages, malformed
// and truncated records, and its output against the C library's reading and
// printing of the same trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "trace_reader.h"
#include "trace_test_support.h"

extern char** environ;

namespace {

using ipveil::cmd_test::builtInAnonymizer;
using ipveil::cmd_test::scanfReference;
using ipveil::cmd_test::TraceGenerator;
namespace fs = std::filesystem;

struct CommandRun {
    int status = -1;  // exit status, or -1 when the command did not exit
    std::string out;
    std::string err;
};

class Command : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ipveil-cmd-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string writeTrace(const std::string& name, const std::string& text) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // Runs ipveil (or another program) with these arguments, stdout to
    // stdoutPath (a file of the temporary directory unless given).
    CommandRun run(const std::vector<std::string>& args, std::string stdoutPath = "",
                   const char* program = IPVEIL_COMMAND) {
        const std::string outPath = stdoutPath.empty() ? (dir / "stdout").string() : stdoutPath;
        const std::string errPath = (dir / "stderr").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);

        CommandRun result;
        pid_t pid;
        const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot run " << program;
            return result;
        }
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
        if (stdoutPath.empty()) result.out = slurp(outPath);
        result.err = slurp(errPath);
        return result;
    }

    CommandRun runOn(const std::string& text) { return run({writeTrace("trace", text)}); }

    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    fs::path dir;
};

// The reference output of a trace that scanf reads whole.
std::string expectedOutput(const std::string& text) {
    const auto ref = scanfReference(text);
    EXPECT_TRUE(ref.complete) << "not a well-formed trace:\n" << text;
    return ref.output;
}

TEST_F(Command, WrongArgumentCountPrintsUsage) {
    const std::string trace = writeTrace("trace", "1 2 3.4.5.6\n");
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{trace, trace},
                             std::vector<std::string>{trace, "extra", "more"}}) {
        const CommandRun r = run(args);
        EXPECT_EQ(r.status, 255) << args.size() << " arguments";
        EXPECT_EQ(r.err, "usage: ipveil raw-trace-file\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Command, UnreadableInputIsReported) {
    const std::string missing = (dir / "no such file").string();
    CommandRun r = run({missing});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "Cannot open file " + missing + "\n");
    EXPECT_EQ(r.out, "");

    // A directory opens but cannot be read.
    r = run({dir.string()});
    EXPECT_EQ(r.status, 252);
    EXPECT_EQ(r.err, "Cannot read file " + dir.string() + "\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Command, FailedWriteIsReported) {
    // A short output fails when flushed at the end, a long one while queued.
    TraceGenerator gen(3);
    std::string large;
    while (large.size() < 400000) large += gen.trace(100, TraceGenerator::Layout::RecordPerLine) + "\n";
    for (const std::string& text : {std::string("1 2 3.4.5.6\n"), large}) {
        const CommandRun r = run({writeTrace("trace", text)}, "/dev/full");
        EXPECT_EQ(r.status, 251) << text.size() << " bytes";
        EXPECT_EQ(r.err, "Cannot write output\n") << text.size() << " bytes";
    }
}

TEST_F(Command, EmptyOrBlankTraceWritesNothing) {
    for (const std::string text : {"", " ", "\n", "\n\n\n", " \t\n\v\f\r \r\n"}) {
        const CommandRun r = runOn(text);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Command, OutputMatchesScanfAndPrintf) {
    TraceGenerator gen(2024);
    std::string text;
    for (int i = 0; i < 40; ++i) text += gen.trace(1 + gen.below(60)) + "\n";
    const CommandRun r = runOn(text);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expectedOutput(text));
}

// Where records sit on lines makes no difference.
TEST_F(Command, LayoutDoesNotChangeOutput) {
    const std::string layouts[] = {
        "1.5 40 10.0.0.1\n2.25 1500 10.0.0.2\n3 64 192.168.1.1\n",
        "1.5 40 10.0.0.1 2.25 1500 10.0.0.2\t3 64 192.168.1.1",
        "1.5\n40\n10.0.0.1\n2.25\n1500\n10.0.0.2\n3\n64\n192.168.1.1\n",
        "\n\n  1.5\t\t40 10.\n0.\v0.\f1\r\n2.25 1500\n10. 0. 0. 2\n\n3 64\n192.\t168.\r1.1   \n\n",
        "1.50 +40 010.000.0.01 2.250e0 +0001500 +10.+0.+0.+2 0x3p0 64 192.168.1.1",
    };
    const std::string expected = expectedOutput(layouts[0]);
    for (const std::string& text : layouts) {
        const CommandRun r = runOn(text);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected) << text;
    }
}

std::string anonymizedText(std::uint32_t address) {
    const std::uint32_t a = builtInAnonymizer().anonymize(address);
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

// Values whose printing is worth seeing spelled out.
TEST_F(Command, PrintsKnownValues) {
    const CommandRun r = runOn(
        "16777217 4294967295 1.2.3.256\n"
        "0.1 0 1.2.4.0\n"
        "0.0078125 +007 0.0.0.0\n"
        "-inf 1 255.255.255.255\n"
        "1e39 1 1.1.1.1\n"
        "1e-40 1 4294967295.0.0.0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "16777216.000000\t4294967295\t" + anonymizedText(0x01020400) + "\n" +  //
                         "0.100000\t0\t" + anonymizedText(0x01020400) + "\n" +              //
                         "0.007812\t7\t" + anonymizedText(0) + "\n" +                       //
                         "  -inf\t1\t" + anonymizedText(0xFFFFFFFF) + "\n" +                //
                         "   inf\t1\t" + anonymizedText(0x01010101) + "\n" +                //
                         "0.000000\t1\t" + anonymizedText(0xFF000000) + "\n");
}

TEST_F(Command, MalformedRecordStopsAfterTheRecordsBeforeIt) {
    struct Case {
        const char* what;
        std::string bad;  // starts on line 4, after two good records
        int line;
    };
    const std::string good = "1 2 3.4.5.6\n7 8\n9.10.11.12\n";
    const Case cases[] = {
        {"bad time", "abc 2 1.2.3.4\n", 4},
        {"time with junk", "1.5x 2 1.2.3.4\n", 4},
        {"exponent without digits", "1e 2 1.2.3.4\n", 4},
        {"nan with payload cut", "nan( 2 1.2.3.4\n", 4},
        {"nan with payload, which scanf does not read whole", "nan(1) 2 1.2.3.4\n", 4},
        {"'-' in size", "1 -2 1.2.3.4\n", 4},
        {"'-' in first component", "1 2 -1.2.3.4\n", 4},
        {"'-' in last component", "1 2 1.2.3.-4\n", 4},
        {"size too big", "1 4294967296 1.2.3.4\n", 4},
        {"size far too big", "1 99999999999999999999999 1.2.3.4\n", 4},
        {"component too big", "1 2 1.2.3.4294967296\n", 4},
        {"component too big, leading zeros", "1 2 1.0004294967296.3.4\n", 4},
        {"size without digits", "1 + 1.2.3.4\n", 4},
        {"size with two signs", "1 ++2 1.2.3.4\n", 4},
        {"size with junk", "1 2x 1.2.3.4\n", 4},
        {"size with a decimal point", "1 2.5 1.2.3.4\n", 4},
        {"missing dot", "1 2 1.2.3 4\n", 4},
        {"three components", "1 2 1.2.34\n5 6 1.2.3.4\n", 4},
        {"empty component", "1 2 1..3.4\n", 4},
        {"whitespace before a dot", "1 2 1 .2.3.4\n", 4},
        {"whitespace before a later dot", "1 2 1.2\t.3.4\n", 4},
        {"junk after address", "1 2 1.2.3.4x\n", 4},
        {"extra dot", "1 2 1.2.3.4.\n", 4},
        {"NUL in a field", std::string("1 2 1.2.3.4\0\n", 13), 4},
        {"trailing garbage", "\n\n  junk\n", 6},
        {"bad field on a later line", "\n\n1\n\n2\n1.2.-3.4\n", 6},
        // Ends inside a record.
        {"ends after time", "5.0", 4},
        {"ends after time and newline", "\n5.0\n", 5},
        {"ends after size", "5.0 7\n", 4},
        {"ends after \"1.2.\"", "5.0 7 1.2.", 4},
        {"ends after \"1.2.\" and whitespace", "5.0 7 1.2. \n", 4},
        {"ends after \"1.2.3.\"", "5.0\n7\n1.2.3.\n", 4},
        {"ends after \"1.2.3\"", "5.0 7 1.2.3", 4},
        {"ends after a lone '+'", "5.0 7 1.2.3.+", 4},
        // IPv6: anything inet_pton(AF_INET6) refuses.
        {"zone index", "1 2 fe80::1%eth0\n", 4},
        {"brackets", "1 2 [2001:db8::1]\n", 4},
        {"prefix length", "1 2 2001:db8::/32\n", 4},
        {"three colons", "1 2 1:::2\n", 4},
        {"two double colons", "1 2 1::2::3\n", 4},
        {"five-digit group", "1 2 12345::1\n", 4},
        {"nine groups", "1 2 1:2:3:4:5:6:7:8:9\n", 4},
        {"a lone leading colon", "1 2 :1:2:3:4:5:6:7\n", 4},
        {"not hexadecimal", "1 2 2001:db8::g\n", 4},
        {"dotted quad with a leading zero", "1 2 ::ffff:1.2.3.04\n", 4},
        {"dotted quad too big", "1 2 ::ffff:1.2.3.256\n", 4},
        {"IPv4 with a port", "1 2 1.2.3.4:80\n", 4},
        {"IPv6 on a later line", "\n\n5 6\n::1::\n", 6},
        {"ends inside an address", "5.0 7 2001:db8:", 4},
    };
    const std::string expected = expectedOutput(good);
    for (const Case& c : cases) {
        const CommandRun r = runOn(good + c.bad);
        EXPECT_EQ(r.status, 253) << c.what;
        EXPECT_EQ(r.err, "Malformed record at line " + std::to_string(c.line) + "\n") << c.what;
        EXPECT_EQ(r.out, expected) << c.what;
    }
}

// The key holder's command undoes ipveil: revealing ipveil's output of a
// mixed IPv4 and IPv6 trace gives the records with their original
// addresses, as ipveil prints everything but the addresses; and it fails
// the way ipveil does.
TEST_F(Command, RevealUndoesAnonymization) {
    TraceGenerator gen(29);
    const std::string text = gen.trace(3000);
    const CommandRun anonymized = runOn(text);
    ASSERT_EQ(anonymized.status, 0);
    const std::string output = writeTrace("anonymized", anonymized.out);
    const CommandRun revealed = run({output}, "", IPVEIL_REVEAL_COMMAND);
    EXPECT_EQ(revealed.status, 0);
    EXPECT_EQ(revealed.err, "");
    const auto asRead = scanfReference(text, ipveil::cmd_test::Addresses::AsRead);
    ASSERT_TRUE(asRead.complete);
    EXPECT_TRUE(revealed.out == asRead.output) << "revealed output differs from the trace as read";

    EXPECT_EQ(run({}, "", IPVEIL_REVEAL_COMMAND).err, "usage: ipveil-reveal anonymized-trace-file\n");
    EXPECT_EQ(run({output, output}, "", IPVEIL_REVEAL_COMMAND).status, 255);
    EXPECT_EQ(run({(dir / "missing").string()}, "", IPVEIL_REVEAL_COMMAND).status, 254);
    const std::string good = runOn("1 2 ::1\n").out;
    const CommandRun malformed = run({writeTrace("bad", good + "3 4 ::1::\n")}, "", IPVEIL_REVEAL_COMMAND);
    EXPECT_EQ(malformed.status, 253);
    EXPECT_EQ(malformed.err, "Malformed record at line 2\n");
    EXPECT_EQ(malformed.out, "1.000000\t2\t::1\n");
}

// A trace longer than the reader buffer, with a record straddling the refill,
// then the same trace with a malformed record after it.
TEST_F(Command, LargeTraceAcrossBufferRefills) {
    TraceGenerator gen(11);
    std::string text;
    while (text.size() < ipveil::trace::TraceReader::BufferBytes + 300000) {
        text += gen.trace(200) + "\n";
    }
    const std::string expected = expectedOutput(text);
    CommandRun r = runOn(text);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == expected) << "output differs from the reference";

    const auto line = 1 + std::count(text.begin(), text.end(), '\n');
    r = runOn(text + "1 2 1.2.3.4x 5 6 7.8.9.10\n");
    EXPECT_EQ(r.status, 253);
    EXPECT_EQ(r.err, "Malformed record at line " + std::to_string(line) + "\n");
    EXPECT_TRUE(r.out == expected) << "output differs from the reference";
}

}  // namespace
