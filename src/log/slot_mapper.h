// SlotMapper: the one mapping step of every log format. The formats find
// slots in records; this parses what each slot holds (an IPv4 or IPv6
// address, or a subnet ADDRESS/LENGTH), maps the addresses of many records
// in one batch call per family, and writes each record again with the
// images' text between its untouched bytes.
//
// An image is written as inet_ntop writes an address: IPv6 in its RFC 5952
// form, whatever form the input had. A subnet gets the first LENGTH bits of
// its address's image (which depend on its first LENGTH bits alone: the
// mapping preserves prefixes), the bits below LENGTH as written, and its
// "/LENGTH" as written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ipv6_address.h"
#include "prefix_anonymizer.h"
#include "text_slot.h"

namespace ipveil::log {

enum class Direction { Anonymize, Reveal, Rekey };

struct SlotCounts {
    std::uint64_t ipv4 = 0;  // addresses and subnets mapped, of each family
    std::uint64_t ipv6 = 0;
    std::uint64_t left = 0;  // slots that held neither, left as they were
};

class SlotMapper {
public:
    // Rekey maps images under `anonymizer` to images under `target`; the
    // other directions use `anonymizer` alone. Both must outlive the mapper.
    SlotMapper(const PrefixAnonymizer& anonymizer, Direction direction, const PrefixAnonymizer* target = nullptr);

    // Takes a record (with its line end) and its slots, which lie in its
    // content in order, for the next flush(); the record's bytes must stay
    // where they are until then. Returns count, or with `strict` the index of
    // the first slot that holds no address, and then takes nothing of the
    // record. A slot out of order or past the record is left as it is.
    std::size_t add(std::string_view record, const TextSlot* slots, std::size_t count, bool strict);

    // The same for slots whose addresses a scanner has parsed already; they
    // must lie in the record's content in order.
    void add(std::string_view record, const ParsedSlot* slots, std::size_t count);

    // Maps every address taken since the last flush and appends each record,
    // in order, with the images in place to out.
    void flush(std::string& out);

    const SlotCounts& counts() const noexcept { return tally; }

private:
    enum class Kind : std::uint8_t { Ipv4, Ipv6 };
    struct Item {
        std::uint32_t begin;
        std::uint32_t addressEnd;  // where "/LENGTH" starts, or end
        std::uint32_t end;
        std::uint32_t index;       // into the family's arrays
        Kind kind;
        std::int16_t length;       // the subnet's prefix length, or -1
    };
    struct Pending {
        std::string_view text;
        std::size_t firstItem;
        std::size_t items;
    };

    // Parses one slot into an item; false for text that is no address.
    bool parse(std::string_view record, const TextSlot& slot, Item& item);

    const PrefixAnonymizer& anonymizer;
    const PrefixAnonymizer* target;
    Direction direction;
    SlotCounts tally;
    std::vector<Pending> records;
    std::vector<Item> items;
    std::vector<std::uint32_t> in4, out4;
    std::vector<Ipv6Address> in6, out6;
};

}  // namespace ipveil::log
