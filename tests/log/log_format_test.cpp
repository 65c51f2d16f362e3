// The formats' slots: what each finds in a record, as text, for the cases
// a log writer produces and the faults it must not read past.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "log_format.h"

namespace {

using ipveil::log::LogFormat;
using ipveil::log::TextSlot;

// Feeds the lines to the format; returns the text of every slot, "|" between
// lines, or "FAULT: reason" at the first line refused.
std::string slotsOf(LogFormat& format, const std::vector<std::string>& lines) {
    std::string found;
    for (const std::string& line : lines) {
        std::vector<TextSlot> slots;
        if (!format.scan(line, slots)) return found + "FAULT: " + format.fault();
        for (const TextSlot& slot : slots) {
            found += '[';
            found.append(line, slot.begin, slot.end - slot.begin);
            found += ']';
        }
        found += "|";
    }
    return found;
}

const std::vector<std::string> ZeekHeader = {
    "#separator \\x09", "#set_separator\t,", "#empty_field\t(empty)", "#unset_field\t-", "#path\tconn",
    "#open\t2024-01-01-00-00-00"};

std::vector<std::string> zeek(std::vector<std::string> header, std::vector<std::string> rest) {
    header.insert(header.end(), rest.begin(), rest.end());
    return header;
}

TEST(ZeekFormat, SlotsOfAddressColumnsAndTheirContainers) {
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        std::string slots;
    } cases[] = {
        {"addr, subnet and containers; unset and empty markers are no slots",
         zeek(ZeekHeader, {"#fields\tts\ta\tp\tn\ts\tv\tt", "#types\ttime\taddr\tport\tsubnet\tset[addr]\tvector[subnet]\tstring",
                           "1.5\t10.0.0.1\t80\t10.0.0.0/8\t1.2.3.4,::1\t2001:db8::/32\t10.9.9.9",
                           "2.5\t-\t80\t-\t(empty)\t-\tx", "#close\t2024-01-01-00-00-01"}),
         "||||||||[10.0.0.1][10.0.0.0/8][1.2.3.4][::1][2001:db8::/32]|||"},
        {"a value that is no address is a slot all the same: the mapping counts it",
         zeek(ZeekHeader, {"#fields\ta\tb", "#types\taddr\ttable[addr]", "host.example\tx,,y"}),
         "||||||||[host.example][x][y]|"},
        {"markers and separators the header names, escaped",
         {"#separator \\x7c", "#set_separator|\\x3b", "#empty_field|none", "#unset_field|\\x2a", "#fields|a|b",
          "#types|addr|set[addr]", "1.1.1.1|2.2.2.2;3.3.3.3", "*|none", "-|(empty)"},
         "||||||[1.1.1.1][2.2.2.2][3.3.3.3]||[-][(empty)]|"},
        {"logs one after the other: a #separator line starts a new header",
         zeek(zeek(ZeekHeader, {"#fields\ta\tb", "#types\taddr\tstring", "1.1.1.1\t2.2.2.2", "#close\tx"}),
              zeek(ZeekHeader, {"#fields\ta\tb", "#types\tstring\taddr", "1.1.1.1\t2.2.2.2"})),
         "||||||||[1.1.1.1]||||||||||[2.2.2.2]|"},
        {"#types with more columns than #fields",
         zeek(ZeekHeader, {"#fields\ta\tb", "#types\taddr\taddr\taddr", "1.1.1.1\t2.2.2.2"}),
         "|||||||FAULT: #fields names 2 columns and #types 3"},
        {"#fields after #types, with fewer columns",
         zeek(ZeekHeader, {"#types\taddr\taddr", "#fields\ta"}), "|||||||FAULT: #fields names 1 columns and #types 2"},
        {"a data line before any #types: its addresses would pass unmapped",
         zeek(ZeekHeader, {"#fields\ta", "1.1.1.1"}), "|||||||FAULT: a data line before the #types line"},
        {"header lines before #separator", {"#fields\ta"}, "FAULT: a header without its #separator line"},
        {"a separator of two characters", {"#separator \\x09\\x09"}, "FAULT: a #separator other than one character"},
    };
    for (const Case& c : cases) {
        const auto format = ipveil::log::makeZeekFormat();
        EXPECT_EQ(slotsOf(*format, c.lines), c.slots) << c.what;
    }
    EXPECT_TRUE(ipveil::log::looksLikeZeek("#separator \\x09\n"));
    EXPECT_FALSE(ipveil::log::looksLikeZeek("#fields\ta\n"));
}

TEST(DelimitedFormat, SlotsOfChosenColumnsInsideTheirQuotes) {
    struct Case {
        const char* what;
        char separator;
        std::vector<std::string> columns;
        std::vector<std::string> lines;
        std::string slots;
    } cases[] = {
        {"by name and by number; empty fields are no slots", ',', {"src", "3"},
         {"src,n,dst", "1.1.1.1,x,2.2.2.2", ",x,", "-,x"}, "|[1.1.1.1][2.2.2.2]||[-]|"},
        {"quoted: separators and doubled quotes inside, the value between the quotes", ',', {"b"},
         {"a,b,c", "\"x,y\",\"::1\",z", "a,\"a\"\"b\",c", "a,\"1.1.1.1\"junk,c"}, "|[::1]|[a\"\"b]|[1.1.1.1]|"},
        {"a record holding a quoted line break", ',', {"2"}, {"a,b", "\"x\ny\",\"1.1.1.1\ny\""}, "|[1.1.1.1\ny]|"},
        {"a quoted header name, and a quote inside an unquoted field", '\t', {"the \"b\""},
         {"a\t\"the \"\"b\"\"\"", "x\"y\t10.0.0.1"}, "|[10.0.0.1]|"},
        {"a column the header lacks", ',', {"dst"}, {"src,n"}, "FAULT: no column dst in the header"},
        {"a number past the header", ',', {"3"}, {"src,n"}, "FAULT: column 3 is past the header's 2"},
    };
    for (const Case& c : cases) {
        const auto format = ipveil::log::makeDelimitedFormat(c.separator, c.columns);
        EXPECT_EQ(slotsOf(*format, c.lines), c.slots) << c.what;
    }
}

TEST(LinesFormat, TheWholeLineIsTheSlot) {
    const auto format = ipveil::log::makeLinesFormat();
    EXPECT_EQ(slotsOf(*format, {"1.2.3.4", "", " ::1"}), "[1.2.3.4]||[ ::1]|");
}

}  // namespace
