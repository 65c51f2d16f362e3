// SlotMapper against the anonymizer's one-address calls, the images written
// as inet_ntop writes them: every slot holding an address gets its image's text, every other
// byte stays, revealing gives the canonical input back, rekeying equals
// revealing then anonymizing under the new key.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "address_policy.h"
#include "prefix_anonymizer.h"
#include "slot_mapper.h"

namespace {

using ipveil::Ipv6Address;
using ipveil::PrefixAnonymizer;
using ipveil::log::Direction;
using ipveil::log::SlotMapper;
using ipveil::log::TextSlot;

std::string ntop4(std::uint32_t address) {
    const std::uint32_t net = htonl(address);
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &net, text, sizeof text);
}

// RFC 5952, as the mapping writes IPv6 (glibc's inet_ntop also writes the
// deprecated IPv4-compatible form ::a.b.c.d); the address room's tests hold
// formatIpv6Address to RFC 5952 and to inet_ntop elsewhere.
std::string ntop6(const Ipv6Address& address) {
    char text[ipveil::Ipv6MaxTextChars];
    return {text, ipveil::formatIpv6Address(text, address)};
}

// A log line: values joined by spaces, each address or subnet a slot, with
// the text the mapping must give for it computed here one address at a time.
struct Line {
    std::string text;
    std::vector<TextSlot> slots;
    std::string expected;
    std::uint64_t ipv4 = 0, ipv6 = 0, left = 0;
};

class Generator {
public:
    Generator(const PrefixAnonymizer& anonymizer, std::uint64_t seed) : anonymizer(anonymizer), random(seed) {}

    Line line() {
        Line line;
        const int values = static_cast<int>(random() % 6);
        for (int v = 0; v < values; ++v) {
            // Bytes between slots, NUL and invalid UTF-8 among them.
            const std::string gap = std::string(" \0\xff", 1 + random() % 3) + "x";
            line.text += gap;
            line.expected += gap;
            std::string original, image;
            switch (random() % 5) {
                case 0: {  // IPv4, sometimes of few distinct prefixes
                    const std::uint32_t address = random() % 2 ? static_cast<std::uint32_t>(random())
                                                               : 0x0a000000u | static_cast<std::uint32_t>(random() % 64);
                    original = ntop4(address);
                    image = ntop4(anonymizer.anonymize(address));
                    ++line.ipv4;
                    break;
                }
                case 1: {  // IPv6, in the canonical form
                    Ipv6Address address{};
                    for (auto& byte : address.bytes) byte = random() % 3 ? 0 : static_cast<std::uint8_t>(random());
                    original = ntop6(address);
                    image = ntop6(anonymizer.anonymize(address));
                    ++line.ipv6;
                    break;
                }
                case 2: {  // an IPv4 subnet: the image's first bits, the rest as written
                    const int length = static_cast<int>(random() % 33);
                    const std::uint32_t address = static_cast<std::uint32_t>(random());
                    const std::uint32_t mask = length == 0 ? 0 : ~0u << (32 - length);
                    original = ntop4(address) + "/" + std::to_string(length);
                    image = ntop4((anonymizer.anonymize(address) & mask) | (address & ~mask)) + "/" +
                            std::to_string(length);
                    ++line.ipv4;
                    break;
                }
                case 3: {  // an IPv6 subnet on a byte boundary, zeros below
                    const int bytes = static_cast<int>(random() % 17);
                    Ipv6Address address{};
                    for (int b = 0; b < bytes; ++b) address.bytes[b] = static_cast<std::uint8_t>(random());
                    Ipv6Address mapped = anonymizer.anonymize(address);
                    std::memset(mapped.bytes + bytes, 0, 16 - static_cast<std::size_t>(bytes));
                    original = ntop6(address) + "/" + std::to_string(bytes * 8);
                    image = ntop6(mapped) + "/" + std::to_string(bytes * 8);
                    ++line.ipv6;
                    break;
                }
                default: {  // no address: left as it is
                    static const char* const others[] = {"-", "host.example", "1.2.3", "1.2.3.4/33", "::1/129",
                                                         "01.2.3.4", "1.2.3.4/08", "fe80::1%eth0", "1.2.3.4/"};
                    original = image = others[random() % std::size(others)];
                    ++line.left;
                    break;
                }
            }
            line.slots.push_back({static_cast<std::uint32_t>(line.text.size()),
                                  static_cast<std::uint32_t>(line.text.size() + original.size())});
            line.text += original;
            line.expected += image;
        }
        line.text += "\r\n";
        line.expected += "\r\n";
        return line;
    }

private:
    const PrefixAnonymizer& anonymizer;
    std::mt19937_64 random;
};

const std::uint8_t Key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const std::uint8_t NewKey[32] = {7};

// Maps the lines in batches of `batch` lines per flush.
std::string mapLines(SlotMapper& mapper, const std::vector<Line>& lines, std::size_t batch) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(mapper.add(lines[i].text, lines[i].slots.data(), lines[i].slots.size(), false), lines[i].slots.size());
        if ((i + 1) % batch == 0) mapper.flush(out);
    }
    mapper.flush(out);
    return out;
}

TEST(SlotMapper, ImagesAreTheAnonymizersAndEveryOtherByteStays) {
    const PrefixAnonymizer anonymizer(Key);
    Generator generator(anonymizer, 5);
    std::vector<Line> lines(400);
    std::string input, expected;
    std::uint64_t ipv4 = 0, ipv6 = 0, left = 0;
    for (Line& line : lines) {
        line = generator.line();
        input += line.text;
        expected += line.expected;
        ipv4 += line.ipv4;
        ipv6 += line.ipv6;
        left += line.left;
    }
    for (std::size_t batch : {std::size_t{1}, std::size_t{7}, lines.size()}) {
        SlotMapper mapper(anonymizer, Direction::Anonymize);
        ASSERT_EQ(mapLines(mapper, lines, batch), expected) << "batches of " << batch;
        EXPECT_EQ(mapper.counts().ipv4, ipv4);
        EXPECT_EQ(mapper.counts().ipv6, ipv6);
        EXPECT_EQ(mapper.counts().left, left);
    }

    // The images stand where the originals stood: map them back (the slots
    // move with the lengths of the texts), and rekey them.
    std::vector<Line> images(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        images[i].text = lines[i].expected;
        std::int64_t shift = 0;
        for (const TextSlot& slot : lines[i].slots) {
            const std::size_t at = static_cast<std::size_t>(slot.begin + shift);
            const std::size_t stop = lines[i].expected.find_first_of(" \r", at);  // every gap starts with a space
            images[i].slots.push_back({static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(stop)});
            shift += static_cast<std::int64_t>(stop - at) - (slot.end - slot.begin);
        }
    }
    SlotMapper reveal(anonymizer, Direction::Reveal);
    EXPECT_EQ(mapLines(reveal, images, 13), input);

    const PrefixAnonymizer target(NewKey);
    SlotMapper rekey(anonymizer, Direction::Rekey, &target);
    Generator direct(target, 5);
    std::string underNewKey;
    for (std::size_t i = 0; i < lines.size(); ++i) underNewKey += direct.line().expected;
    EXPECT_EQ(mapLines(rekey, images, 13), underNewKey);
}

TEST(SlotMapper, StrictTakesNothingOfALineWithAValueThatIsNoAddress) {
    const PrefixAnonymizer anonymizer(Key);
    SlotMapper mapper(anonymizer, Direction::Anonymize);
    const std::string first = "1.1.1.1 ok\n";
    const std::string second = "2.2.2.2 host ::1\n";
    const TextSlot firstSlots[] = {{0, 7}};
    const TextSlot secondSlots[] = {{0, 7}, {8, 12}, {13, 16}};
    EXPECT_EQ(mapper.add(first, firstSlots, 1, true), 1u);
    EXPECT_EQ(mapper.add(second, secondSlots, 3, true), 1u);
    std::string out;
    mapper.flush(out);
    EXPECT_EQ(out, ntop4(anonymizer.anonymize(0x01010101u)) + " ok\n");
    EXPECT_EQ(mapper.counts().ipv4, 1u);
    EXPECT_EQ(mapper.counts().ipv6, 0u);
    EXPECT_EQ(mapper.counts().left, 0u);
}

}  // namespace
