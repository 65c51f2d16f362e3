// JsonScanner on lines as Zeek and Suricata write them, on malformed and
// hostile lines, on generated objects whose address strings and key paths the
// generator knows, and, where python3 is installed, against its json module
// on which lines are JSON objects at all.
#include "json_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "ipv6_forms.h"

namespace {

using ipveil::log::JsonScanner;
using ipveil::log::TextSlot;
using Texts = std::vector<std::string>;

struct Scanned {
    const char* error;
    std::vector<TextSlot> slots;
};

// Scans an exactly sized heap copy of line (so that AddressSanitizer sees a
// read past its end) after a slot already in the vector, which must stay;
// on an error nothing else may remain.
Scanned scan(const JsonScanner& scanner, const std::string& line) {
    const auto copy = std::make_unique<char[]>(line.size());
    std::copy(line.begin(), line.end(), copy.get());
    std::vector<TextSlot> slots{{7, 9}};
    const char* error = scanner.scan({copy.get(), line.size()}, slots);
    EXPECT_TRUE(!slots.empty() && slots[0].begin == 7 && slots[0].end == 9);
    if (error != nullptr) {
        EXPECT_EQ(slots.size(), 1u) << error << ": " << line;
    }
    slots.erase(slots.begin());
    std::uint32_t previousEnd = 0;
    for (const TextSlot& slot : slots) {
        EXPECT_LE(previousEnd, slot.begin);
        EXPECT_LE(slot.begin, slot.end);
        EXPECT_LE(slot.end, line.size());
        EXPECT_TRUE(slot.begin > 0 && line[slot.begin - 1] == '"' && line[slot.end] == '"') << line;
        previousEnd = slot.end;
    }
    return {error, slots};
}

Texts found(const JsonScanner& scanner, const std::string& line) {
    const Scanned scanned = scan(scanner, line);
    EXPECT_EQ(scanned.error, nullptr) << scanned.error << ": " << line;
    Texts texts;
    for (const TextSlot& slot : scanned.slots) texts.push_back(line.substr(slot.begin, slot.end - slot.begin));
    return texts;
}

TEST(JsonScanner, FindsZeekFieldsByDottedKeyAndByNesting) {
    const JsonScanner ends({"id.resp_h", "id.orig_h"}, false);
    EXPECT_EQ(found(ends, R"({"ts":1705029255.123456,"uid":"C3xk9a2Lq0","id.orig_h":"192.168.4.76","id.orig_p":36844,)"
                          R"("id.resp_h":"2001:db8::53","id.resp_p":53,"proto":"udp","service":"dns","duration":0.066,)"
                          R"("conn_state":"SF","local_orig":true,"history":"Dd","tunnel_parents":[]})"),
              (Texts{"192.168.4.76", "2001:db8::53"}));
    EXPECT_EQ(found(ends, R"({"id":{"orig_h":"10.0.0.1","orig_p":1,"resp_h":"-"},"uid":"x"})"), (Texts{"10.0.0.1", "-"}));

    const std::string dns = R"({"ts":1705029255.5,"id.orig_h":"10.0.0.2","query":"example.com","qtype_name":"A",)"
                            R"("answers":["93.184.216.34","example.net","2606:2800:220:1::1"],"TTLs":[60.0,60.0]})";
    EXPECT_EQ(found(JsonScanner({"id.orig_h", "answers"}, false), dns),
              (Texts{"10.0.0.2", "93.184.216.34", "example.net", "2606:2800:220:1::1"}));
    EXPECT_EQ(found(JsonScanner({}, true), dns), (Texts{"10.0.0.2", "93.184.216.34", "2606:2800:220:1::1"}));
}

TEST(JsonScanner, FindsEveFieldsInNestedObjectsAndArrays) {
    const std::string alert =
        R"({"timestamp":"2024-01-12T03:14:15.123456+0000","flow_id":1,"event_type":"alert","src_ip":"10.0.0.5",)"
        R"("src_port":53,"dest_ip":"2001:db8::53","proto":"UDP","alert":{"signature":"ET DNS","severity":2},)"
        R"("dns":{"answers":[{"rrname":"a.example","rdata":"192.0.2.9"},{"rdata":"2001:db8::9"}]},)"
        R"("tunnel":{"src_ip":"198.51.100.1","depth":1}})";
    EXPECT_EQ(found(JsonScanner({"src_ip", "dest_ip", "dns.answers.rdata", "tunnel.src_ip"}, false), alert),
              (Texts{"10.0.0.5", "2001:db8::53", "192.0.2.9", "2001:db8::9", "198.51.100.1"}));
    EXPECT_EQ(found(JsonScanner({"src_ip"}, false), alert), (Texts{"10.0.0.5"}));
}

TEST(JsonScanner, ScansEveryDuplicateAndJudgesEscapesAndKeysByMode) {
    EXPECT_EQ(found(JsonScanner({"a"}, false), R"({"a":"1.1.1.1","a":"2.2.2.2","a":["3.3.3.3",[["4.4.4.4"]],5]})"),
              (Texts{"1.1.1.1", "2.2.2.2", "3.3.3.3", "4.4.4.4"}));
    // Escaped: still a slot at a path, never one by its look alone.
    EXPECT_EQ(found(JsonScanner({"a"}, true), R"({"a":"\u0031.2.3.4","b":"\u0031.2.3.4","c":""})"),
              (Texts{R"(\u0031.2.3.4)"}));
    // Keys are never slots, and only strings are.
    EXPECT_EQ(found(JsonScanner({"a"}, true), R"({"10.0.0.1":"x","k":{"::1":1},"a":1,"a":null,"a":{"b":"x"}})"),
              Texts{});
    // An escaped key matches by its text; a key is matched whole.
    EXPECT_EQ(found(JsonScanner({"id.orig_h"}, false),
                    R"({"id\u002eorig_h":"1.2.3.4","i\u0064":{"orig_h":"5.6.7.8"},"id.orig":"x","id":{"orig_hx":"x"},)"
                    R"("xid":{"orig_h":"x"},"id":{"orig":{"_h":"x"}},"id":{"orig.h":"x"}})"),
              (Texts{"1.2.3.4", "5.6.7.8"}));
    EXPECT_EQ(found(JsonScanner({}, true), R"({"s":["10.0.0.0/8","::/0","2001:db8::/129","[::1]","fe80::1%eth0"," 10.0.0.1",)"
                                           R"("10.0.0.1:80","10.0.0.0/08","1.2.3.4.5","::ffff:1.2.3.4","DEAD::BEEF"]})"),
              (Texts{"10.0.0.0/8", "::/0", "::ffff:1.2.3.4", "DEAD::BEEF"}));
}

TEST(JsonScanner, RefusesWhatIsNotOneObjectWithAReason) {
    const JsonScanner scanner({"a"}, true);
    const std::string refused[] = {
        "", "   ", "[]", "\"x\"", "1", "{", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{\"a\":1 \"b\":2}", "{,}",
        "{\"a\":\"1.2.3.4", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12g4\"}", "{\"a\":\"\\u12\"}", "{\"a\":\"\\", "{\"a\":01}",
        "{\"a\":1.}", "{\"a\":-}", "{\"a\":1e}", "{\"a\":1e+}", "{\"a\":.5}", "{\"a\":+1}", "{\"a\":tru}", "{\"a\":nul}",
        "{\"a\":True}", "{\"a\":NaN}", "{\"a\":[1,]}", "{\"a\":[1}", "{\"a\":{]}", "{\"a\":[}", "{} x", "{}{}", "{'a':1}",
        std::string("{\"a\":1}\0", 8), std::string("{\"a\":\0}", 7), "{a:1}", "{\"a\" 1}", "{\"a\":\"1.2.3.4\"}}",
        "{\"a\":[\"1.2.3.4\"]]", "\xef\xbb\xbf{}", "{\"a\":\"1.1.1.1\",\"b\":\"2.2.2.2\",}"};
    for (const std::string& line : refused) EXPECT_NE(scan(scanner, line).error, nullptr) << line;
    EXPECT_STREQ(scan(scanner, "{\"a\":\"1.2.3.4").error, "unterminated string");
    EXPECT_STREQ(scan(scanner, "{\"a\":\"1.2.3.4\"} x").error, "text after the object");

    const std::string accepted[] = {
        "{}", " {\"a\" : [ ] , \"b\":{ } }\r", "\t{\"a\":-0.5e+10,\"b\":true,\"c\":false,\"d\":null,\"e\":0,\"f\":1E3}",
        "{\"e\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\uD83D\\ude00\\ud800\"}",
        std::string("{\"a\":\"x\0\x01\xff\xfe\tz\"}", 15)};
    for (const std::string& line : accepted) EXPECT_EQ(scan(scanner, line).error, nullptr) << line;
}

TEST(JsonScanner, NestsSixtyFourLevelsAndRefusesDeeper) {
    const JsonScanner scanner({"a"}, true);
    const auto nested = [](int levels) {  // the top object and levels - 1 arrays inside it
        return "{\"a\":" + std::string(levels - 1, '[') + "\"10.0.0.1\"" + std::string(levels - 1, ']') + "}";
    };
    EXPECT_EQ(found(scanner, nested(64)), Texts{"10.0.0.1"});
    EXPECT_STREQ(scan(scanner, nested(65)).error, "nesting deeper than 64 levels");
    EXPECT_STREQ(scan(scanner, "{\"a\":" + std::string(1 << 20, '[')).error, "nesting deeper than 64 levels");
    std::string objects;
    for (int i = 0; i < 64; ++i) objects += "{\"a\":";
    EXPECT_STREQ(scan(scanner, objects + "{}" + std::string(64, '}')).error, "nesting deeper than 64 levels");
}

// Random JSON objects that know the path and the kind of every string value
// they hold.
class JsonWriter {
public:
    struct Value {
        std::size_t begin;
        std::size_t end;
        std::string path;
        bool address;
    };

    explicit JsonWriter(std::uint64_t seed) : rng(seed) {}

    std::string object(std::vector<Value>& values) {
        text.clear();
        this->values = &values;
        writeObject("", true, 0);
        return text;
    }

private:
    void space() {
        static const char* const spaces[] = {"", "", "", " ", "\t", " \r "};
        text += spaces[rng() % std::size(spaces)];
    }

    std::string addressText() {
        std::string address;
        if (rng() % 2 == 0) {
            address = ipveil::address_test::randomForm(ipveil::address_test::randomAddress(rng), rng);
        } else {
            for (int c = 0; c < 4; ++c) {
                if (c != 0) address += '.';
                address += std::to_string(rng() % 256);
            }
        }
        if (rng() % 4 == 0) address.append(1, '/').append(std::to_string(rng() % 33));
        return address;
    }

    void writeString(const std::string& path) {
        static const char* const others[] = {"",           "-",        "example.com", "1.2.3.4.5", "[::1]",
                                             "10.0.0.1:80", "fe80::1%1", "\\u0031.2.3.4", "a\\\"b",    "10.0.0.1 ",
                                             "::1/129",    "dead:beef", "\\\\",         "x\\ny",      "12:34:56"};
        const bool address = rng() % 2 == 0;
        const std::string body = address ? addressText() : others[rng() % std::size(others)];
        text += '"';
        values->push_back({text.size(), text.size() + body.size(), path, address});
        text += body + '"';
    }

    void writeValue(const std::string& path, int depth) {
        const unsigned kind = rng() % (depth < 6 ? 8 : 5);
        static const char* const scalars[] = {"0", "-12.5e3", "true", "false", "null", "1E+2"};
        if (kind < 3) {
            writeString(path);
        } else if (kind < 5) {
            text += scalars[rng() % std::size(scalars)];
        } else if (kind < 7) {
            writeObject(path, false, depth + 1);
        } else {
            text += '[';
            for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
                space();
                writeValue(path, depth + 1);
                space();
                if (n > 1) text += ',';
            }
            text += ']';
        }
    }

    void writeObject(const std::string& path, bool top, int depth) {
        static const char* const keys[] = {"id", "orig_h", "id.orig_h", "a", "a.b", "b", "10.0.0.1"};
        text += '{';
        for (int n = static_cast<int>(rng() % 5); n > 0; --n) {
            const std::string key = keys[rng() % std::size(keys)];
            space();
            text += '"' + key + '"';
            space();
            text += ':';
            space();
            writeValue(top ? key : path + "." + key, depth);
            space();
            if (n > 1) text += ',';
        }
        text += '}';
    }

    std::mt19937_64 rng;
    std::string text;
    std::vector<Value>* values = nullptr;
};

TEST(JsonScanner, FindsExactlyTheGeneratedAddressesAndPaths) {
    const std::vector<std::string> paths{"id.orig_h", "a.b", "a"};
    const JsonScanner everyAddress({}, true);
    const JsonScanner atPaths(paths, false);
    const JsonScanner both(paths, true);
    JsonWriter writer(99);
    for (int i = 0; i < 5000; ++i) {
        std::vector<JsonWriter::Value> values;
        const std::string line = writer.object(values);
        std::vector<std::pair<std::size_t, std::size_t>> addresses, atPath, either;
        for (const auto& value : values) {
            const bool chosen = std::find(paths.begin(), paths.end(), value.path) != paths.end();
            if (value.address) addresses.emplace_back(value.begin, value.end);
            if (chosen) atPath.emplace_back(value.begin, value.end);
            if (chosen || value.address) either.emplace_back(value.begin, value.end);
        }
        const auto spans = [&](const JsonScanner& scanner) {
            const Scanned scanned = scan(scanner, line);
            EXPECT_EQ(scanned.error, nullptr) << scanned.error << ": " << line;
            std::vector<std::pair<std::size_t, std::size_t>> result;
            for (const TextSlot& slot : scanned.slots) result.emplace_back(slot.begin, slot.end);
            return result;
        };
        EXPECT_EQ(spans(everyAddress), addresses) << line;
        EXPECT_EQ(spans(atPaths), atPath) << line;
        EXPECT_EQ(spans(both), either) << line;
    }
}

// Generated objects, and the same with a byte deleted, doubled or replaced:
// JsonScanner must take exactly the lines that Python's json module reads as
// one object, strings allowed to hold control bytes (strict=False) and
// NaN/Infinity refused, as RFC 8259 has no such numbers.
TEST(JsonScanner, AcceptsWhatPythonsJsonModuleReadsAsAnObject) {
    if (std::system("python3 -c 'import json' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    JsonWriter writer(7);
    std::mt19937_64 rng(8);
    const std::string bytes = "{}[]\":,.-+0123456789eEtrufalsn \\/\x01\x80";
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) {
        std::vector<JsonWriter::Value> values;
        std::string line = writer.object(values);
        const std::size_t at = rng() % line.size();
        switch (rng() % 4) {
        case 0: break;
        case 1: line.erase(at, 1); break;
        case 2: line.insert(at, 1, line[at]); break;
        default: line[at] = bytes[rng() % bytes.size()]; break;
        }
        if (line.find('\n') == std::string::npos) lines.push_back(line);
    }
    const auto dir = std::filesystem::temp_directory_path() / ("ipveil_json_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream out(dir / "lines", std::ios::binary);
        for (const std::string& line : lines) out << line << '\n';
    }
    const std::string script =
        "import json,sys\n"
        "def refuse(name): raise ValueError(name)\n"
        "for line in open(sys.argv[1], 'rb').read().split(b'\\n')[:-1]:\n"
        "    try: ok = isinstance(json.loads(line.decode('latin-1'), strict=False, parse_constant=refuse), dict)\n"
        "    except (ValueError, RecursionError): ok = False\n"
        "    print(int(ok))\n";
    std::ofstream(dir / "check.py") << script;
    FILE* python = popen(("python3 '" + (dir / "check.py").string() + "' '" + (dir / "lines").string() + "'").c_str(), "r");
    ASSERT_NE(python, nullptr);
    const JsonScanner scanner({"a"}, true);
    std::size_t compared = 0;
    int refusedByBoth = 0;
    for (char verdict[8]; compared < lines.size() && std::fgets(verdict, sizeof verdict, python) != nullptr; ++compared) {
        const bool theyAccept = verdict[0] == '1';
        const bool weAccept = scan(scanner, lines[compared]).error == nullptr;
        EXPECT_EQ(weAccept, theyAccept) << lines[compared];
        refusedByBoth += !weAccept && !theyAccept;
    }
    pclose(python);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(compared, lines.size());
    EXPECT_GT(refusedByBoth, 300);
}

}  // namespace
