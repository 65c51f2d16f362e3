#include "slot_mapper.h"

#include <cstring>

#include "address_text.h"
#include "ipv4_address.h"

namespace ipveil::log {

namespace {

// A prefix length as written after '/': decimal, without a sign or a leading
// zero, at most `bits`; -1 for anything else.
int parseLength(const char* first, const char* last, int bits) noexcept {
    const std::ptrdiff_t digits = last - first;
    if (digits < 1 || digits > 3 || (digits > 1 && *first == '0')) return -1;
    int value = 0;
    for (const char* p = first; p != last; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
    }
    return value <= bits ? value : -1;
}

}  // namespace

SlotMapper::SlotMapper(const PrefixAnonymizer& anonymizer, Direction direction, const PrefixAnonymizer* target)
    : anonymizer(anonymizer), target(target), direction(direction) {}

bool SlotMapper::parse(std::string_view record, const TextSlot& slot, Item& item) {
    const char* first = record.data() + slot.begin;
    const char* last = record.data() + slot.end;
    const char* addressEnd = findEither(first, last, '/', '/');
    const char* slash = addressEnd != last ? addressEnd : nullptr;
    item.begin = slot.begin;
    item.end = slot.end;
    item.addressEnd = static_cast<std::uint32_t>(addressEnd - record.data());
    item.length = -1;
    std::uint32_t v4;
    Ipv6Address v6;
    if (parseIpv4Address(first, addressEnd, v4)) {
        if (slash != nullptr && (item.length = static_cast<std::int16_t>(parseLength(slash + 1, last, 32))) < 0)
            return false;
        item.kind = Kind::Ipv4;
        item.index = static_cast<std::uint32_t>(in4.size());
        in4.push_back(v4);
        return true;
    }
    if (parseIpv6Address(first, addressEnd, v6)) {
        if (slash != nullptr && (item.length = static_cast<std::int16_t>(parseLength(slash + 1, last, 128))) < 0)
            return false;
        item.kind = Kind::Ipv6;
        item.index = static_cast<std::uint32_t>(in6.size());
        in6.push_back(v6);
        return true;
    }
    return false;
}

std::size_t SlotMapper::add(std::string_view record, const TextSlot* slots, std::size_t count, bool strict) {
    const std::size_t itemsBefore = items.size();
    const std::size_t v4Before = in4.size();
    const std::size_t v6Before = in6.size();
    std::uint64_t left = 0;
    std::uint32_t done = 0;  // end of the last slot taken: slots must follow it
    for (std::size_t i = 0; i < count; ++i) {
        const TextSlot& slot = slots[i];
        Item item;
        const bool usable = slot.begin >= done && slot.begin <= slot.end && slot.end <= record.size();
        if (usable && parse(record, slot, item)) {
            items.push_back(item);
            done = slot.end;
            continue;
        }
        if (strict) {
            items.resize(itemsBefore);
            in4.resize(v4Before);
            in6.resize(v6Before);
            return i;
        }
        ++left;
    }
    tally.left += left;
    tally.ipv4 += in4.size() - v4Before;
    tally.ipv6 += in6.size() - v6Before;
    records.push_back({record, itemsBefore, items.size() - itemsBefore});
    return count;
}

void SlotMapper::add(std::string_view record, const ParsedSlot* slots, std::size_t count) {
    const std::size_t itemsBefore = items.size();
    const std::size_t v4Before = in4.size();
    const std::size_t v6Before = in6.size();
    for (const ParsedSlot* slot = slots; slot != slots + count; ++slot) {
        Item& item = items.emplace_back();
        item.begin = slot->begin;
        item.addressEnd = slot->addressEnd;
        item.end = slot->end;
        item.length = slot->length;
        if (slot->isIpv6) {
            item.kind = Kind::Ipv6;
            item.index = static_cast<std::uint32_t>(in6.size());
            in6.push_back(slot->ipv6);
        } else {
            item.kind = Kind::Ipv4;
            item.index = static_cast<std::uint32_t>(in4.size());
            in4.push_back(slot->ipv4);
        }
    }
    tally.ipv4 += in4.size() - v4Before;
    tally.ipv6 += in6.size() - v6Before;
    records.push_back({record, itemsBefore, items.size() - itemsBefore});
}

void SlotMapper::flush(std::string& out) {
    out4.resize(in4.size());
    out6.resize(in6.size());
    switch (direction) {
        case Direction::Anonymize:
            anonymizer.anonymize(in4.data(), in4.size(), out4.data());
            anonymizer.anonymize(in6.data(), in6.size(), out6.data());
            break;
        case Direction::Reveal:
            anonymizer.deanonymize(in4.data(), in4.size(), out4.data());
            anonymizer.deanonymize(in6.data(), in6.size(), out6.data());
            break;
        case Direction::Rekey:
            // The command refuses to rekey with a truncating policy, so both calls map.
            anonymizer.rekey(*target, in4.data(), in4.size(), out4.data());
            anonymizer.rekey(*target, in6.data(), in6.size(), out6.data());
            break;
    }
    // Written in place: room for each record with every slot's longest
    // image, cut back to what was written.
    std::size_t room = out.size();
    for (const Pending& record : records) room += record.text.size();
    room += items.size() * Ipv6MaxTextChars;
    const std::size_t start = out.size();
    out.resize(room);
    char* to = out.data() + start;
    for (const Pending& record : records) {
        std::size_t position = 0;
        for (std::size_t k = record.firstItem; k < record.firstItem + record.items; ++k) {
            const Item& item = items[k];
            std::memcpy(to, record.text.data() + position, item.begin - position);
            to += item.begin - position;
            if (item.kind == Kind::Ipv4) {
                std::uint32_t image = out4[item.index];
                if (item.length >= 0) {
                    const std::uint32_t mask = item.length == 0 ? 0 : ~std::uint32_t{0} << (32 - item.length);
                    image = (image & mask) | (in4[item.index] & ~mask);
                }
                to = formatIpv4Address(to, image);
            } else {
                Ipv6Address image = out6[item.index];
                if (item.length >= 0) {
                    const Ipv6Address& original = in6[item.index];
                    for (int byte = 0; byte < 16; ++byte) {
                        const int kept = item.length - byte * 8;  // image bits in this byte
                        const std::uint8_t mask =
                            kept >= 8 ? 0xff : kept <= 0 ? 0 : static_cast<std::uint8_t>(0xff << (8 - kept));
                        image.bytes[byte] = static_cast<std::uint8_t>((image.bytes[byte] & mask) |
                                                                      (original.bytes[byte] & ~mask));
                    }
                }
                to = formatIpv6Address(to, image);
            }
            position = item.addressEnd;
        }
        std::memcpy(to, record.text.data() + position, record.text.size() - position);
        to += record.text.size() - position;
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
    records.clear();
    items.clear();
    in4.clear();
    in6.clear();
}

}  // namespace ipveil::log
