// FrameRewriter: walks each frame of a window, then maps the window's
// addresses in one batch per family, writes the images back and fixes the
// checksums, innermost first.
#include "frame_rewriter.h"

#include <cstring>

#include "checksum.h"
#include "frame_check.h"
#include "frame_walk.h"

namespace ipveil::packet {

using detail::ChecksumField;
using detail::Outcome;
using detail::PendingFrame;
using detail::Slot;
using detail::SlotKind;
using detail::Window;

// The window is left uninitialised (new, not make_unique): only its counts
// matter at first, and its pages are touched only as far as windows fill it.
FrameRewriter::FrameRewriter(const std::uint8_t* key, Policy policy, const AddressPolicy& addressPolicy)
    : rules(policy), addresses(key, addressPolicy), macs(key), window(new Window) {}

FrameRewriter::~FrameRewriter() = default;

void FrameRewriter::rewrite(Frame* frames, std::size_t count) noexcept {
    Window& w = *window;
    bool cut = rules.direction == Direction::Anonymize && !rules.keepPayload;
    for (std::size_t i = 0; i < count; ++i) {
        if (!w.roomForFrame()) flush();
        Frame& frame = frames[i];
        PendingFrame& pending = w.frames[w.frameCount++];
        pending.frame = &frame;
        pending.slotBegin = pending.slotEnd = static_cast<std::uint32_t>(w.slotCount);
        pending.checksumBegin = pending.checksumEnd = static_cast<std::uint32_t>(w.checksumCount);
        pending.length = frame.captured;
        // The FCS is no header nor payload: the walk ends before it.
        const std::uint32_t fcs = frame.fcsBytes <= frame.captured ? frame.fcsBytes : 0;
        pending.walkable = frame.captured - fcs;
        pending.zeroCut = pending.carryFcs = false;
        ++totals.packets;
        std::uint32_t accounted = 0;
        if (frame.linkType == LinkEthernet && fcs == 0 && !frame.keepsLength &&
            detail::walkCommonShape(w, pending, frame.data, frame.captured, !rules.keepMac, accounted)) {
            if (cut && accounted < frame.captured) {
                pending.length = accounted;
                ++totals.cut;
                ++totals.cutPayload;
            }
            continue;
        }
        pending.shape = detail::Shape::General;
        detail::Walk walk(w, frame.data, pending.walkable, !rules.keepMac);
        walk.padOptions = cut;
        walk.run(frame.linkType);
        pending.slotEnd = static_cast<std::uint32_t>(w.slotCount);
        pending.checksumEnd = static_cast<std::uint32_t>(w.checksumCount);
        if (walk.accounted < pending.walkable) {
            // Bytes the walk did not reach: counted whatever the policy, since with it they go out as they stand.
            switch (walk.outcome) {
                case Outcome::Complete: break;
                case Outcome::UnknownLink: ++totals.unknownLink; break;
                case Outcome::UnknownProtocol: ++totals.unknownProtocol; break;
                case Outcome::Truncated: ++totals.truncated; break;
                case Outcome::TooManyAddresses: ++totals.tooManyAddresses; break;
            }
            // Addresses past what a window can hold are never let out.
            if (cut || walk.outcome == Outcome::TooManyAddresses) {
                pending.length = walk.accounted;
                pending.zeroCut = frame.keepsLength;
                ++totals.cut;
                if (walk.outcome == Outcome::Complete) ++totals.cutPayload;
            }
        }
        // An FCS goes out with a frame written to its end; a shortened frame has none.
        if (fcs == 4 && (pending.length == frame.captured || pending.zeroCut)) {
            pending.carryFcs = true;
            pending.crcBefore = frameCrc(frame.data, pending.walkable);
        }
    }
    flush();
}

namespace {

std::uint64_t withParity(std::uint64_t residue, std::uint32_t offsetFromStart) noexcept {
    return (offsetFromStart & 1) ? oddResidue(residue) : residue;
}

void store32(std::uint8_t* at, std::uint32_t v) noexcept {
    at[0] = static_cast<std::uint8_t>(v >> 24);
    at[1] = static_cast<std::uint8_t>(v >> 16);
    at[2] = static_cast<std::uint8_t>(v >> 8);
    at[3] = static_cast<std::uint8_t>(v);
}

// The 16-bit words of a 32-bit value, summed.
std::uint64_t wordSum(std::uint32_t v) noexcept { return (v >> 16) + (v & 0xFFFF); }

void fixChecksum(std::uint8_t* at, std::uint64_t residue, bool zeroMeansNone) noexcept {
    std::uint16_t after = updatedChecksum(static_cast<std::uint16_t>(at[0] << 8 | at[1]), residue, zeroMeansNone);
    at[0] = static_cast<std::uint8_t>(after >> 8);
    at[1] = static_cast<std::uint8_t>(after);
}

// A frame of a common shape: its two addresses are the IP header's, at even
// offsets of everything that covers them, and the pseudo-header's; the IPv4
// header checksum and the transport's take the same change, nothing covers
// the MACs.
void writeCommonShape(const Window& w, const PendingFrame& pending) noexcept {
    std::uint8_t* data = pending.frame->data;
    if (pending.mapMacs) {
        MacPermutation::toBytes(w.outMac[pending.macBatch], data);
        MacPermutation::toBytes(w.outMac[pending.macBatch + 1], data + 6);
    }
    const std::uint32_t a = pending.addressBatch;
    std::uint64_t residue;
    if (pending.shape == detail::Shape::Ipv4) {
        residue = wordSum(w.out4[a]) + wordSum(w.out4[a + 1]) + 4 * ChecksumModulus - wordSum(w.in4[a]) -
                  wordSum(w.in4[a + 1]);
        store32(data + 26, w.out4[a]);
        store32(data + 30, w.out4[a + 1]);
        fixChecksum(data + 24, residue, false);
    } else {
        residue = changeResidue(w.in6[a].bytes, w.out6[a].bytes, 16) +
                  changeResidue(w.in6[a + 1].bytes, w.out6[a + 1].bytes, 16);
        std::memcpy(data + 22, w.out6[a].bytes, 16);
        std::memcpy(data + 38, w.out6[a + 1].bytes, 16);
    }
    fixChecksum(data + pending.transportChecksum, residue, pending.zeroMeansNone);
}

// (0 - bytes) over n bytes taken as starting at an even offset.
std::uint64_t removalResidue(const std::uint8_t* bytes, std::size_t n) noexcept {
    std::uint64_t down = 0;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) down += std::uint32_t(bytes[i]) << 8 | bytes[i + 1];
    if (i < n) down += std::uint32_t(bytes[i]) << 8;
    return std::uint64_t{ChecksumModulus} * ((n + 1) / 2) - down;
}

// A record that keeps its length: the bytes after the headers, up to the
// FCS, become zeros, and every checksum covering them takes that change as
// it took the addresses' (innermost first). A field among the zeroed bytes
// is zero itself; its outer checksums have its old value in the change.
void zeroAfterHeaders(Window& w, const PendingFrame& pending) noexcept {
    std::uint8_t* data = pending.frame->data;
    std::uint32_t from = pending.length;
    const std::uint32_t to = pending.walkable;
    // A field is zeroed whole or not at all.
    for (std::uint32_t c = pending.checksumBegin; c < pending.checksumEnd; ++c) {
        const std::uint32_t at = w.checksums[c].field;
        if (at < from && at + 2 > from) from = at + 2;
    }
    for (std::uint32_t c = pending.checksumBegin; c < pending.checksumEnd; ++c) {
        ChecksumField& field = w.checksums[c];
        const std::uint32_t lo = field.begin > from ? field.begin : from;
        const std::uint32_t hi = field.end < to ? field.end : to;
        field.residue = lo < hi ? withParity(removalResidue(data + lo, hi - lo), lo - field.begin) : 0;
    }
    std::memset(data + from, 0, to - from);
    for (std::uint32_t c = pending.checksumEnd; c-- > pending.checksumBegin;) {
        ChecksumField& field = w.checksums[c];
        if (field.field >= from) {
            field.residue = 0;
            continue;
        }
        std::uint64_t residue = field.residue;
        for (std::uint32_t k = c + 1; k < pending.checksumEnd; ++k) {
            const ChecksumField& inner = w.checksums[k];
            if (inner.field >= field.begin && inner.field < field.end)
                residue += withParity(inner.residue, inner.field - field.begin);
        }
        std::uint8_t* at = data + field.field;
        const std::uint16_t after =
            updatedChecksum(static_cast<std::uint16_t>(at[0] << 8 | at[1]), residue, field.zeroMeansNone);
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(after >> 8), static_cast<std::uint8_t>(after)};
        field.residue = changeResidue(at, bytes, 2);
        at[0] = bytes[0];
        at[1] = bytes[1];
    }
}

// Writes a Pad slot's bytes over the option at `at`; returns the change's residue.
std::uint64_t padOver(std::uint8_t* at, const Slot& slot) noexcept {
    std::uint8_t bytes[260];  // an IPv6 option is at most 257 bytes, the others 40
    const std::uint32_t n = slot.batch;
    switch (static_cast<detail::PadStyle>(slot.prefixBits)) {
        case detail::PadStyle::Nop: std::memset(bytes, 1, n); break;
        case detail::PadStyle::Zero: std::memset(bytes, 0, n); break;
        case detail::PadStyle::PadN:
            // Type 1, the length of what follows, zeros; n may be cut short by the snap length.
            std::memset(bytes, 0, n);
            bytes[0] = 1;
            if (n > 1) bytes[1] = slot.size;
            break;
    }
    std::uint64_t residue = changeResidue(at, bytes, n);
    std::memcpy(at, bytes, n);
    return residue;
}

}  // namespace

void FrameRewriter::flush() noexcept {
    Window& w = *window;
    if (rules.direction == Direction::Anonymize) {
        addresses.anonymize(w.in4, w.count4, w.out4);
        addresses.anonymize(w.in6, w.count6, w.out6);
        macs.anonymize(w.inMac, w.countMac, w.outMac, w.macPresent);
        for (std::size_t i = 0; i < w.countLink; ++i) w.outLink[i] = macs.anonymizeLink(w.inLink[i], w.linkPresent[i]);
    } else {
        addresses.deanonymize(w.in4, w.count4, w.out4);
        addresses.deanonymize(w.in6, w.count6, w.out6);
        macs.deanonymize(w.inMac, w.countMac, w.outMac, w.macPresent);
        for (std::size_t i = 0; i < w.countLink; ++i)
            w.outLink[i] = macs.deanonymizeLink(w.inLink[i], w.linkPresent[i]);
    }
    totals.ipv4 += w.count4;
    totals.ipv6 += w.count6;
    totals.macs += w.countMac + w.countLink;

    for (std::size_t f = 0; f < w.frameCount; ++f) {
        PendingFrame& pending = w.frames[f];
        if (!pending.zeroCut) pending.frame->captured = pending.length;
        if (pending.shape != detail::Shape::General) {
            writeCommonShape(w, pending);
            continue;
        }
        std::uint8_t* data = pending.frame->data;
        for (std::uint32_t s = pending.slotBegin; s < pending.slotEnd; ++s) {
            Slot& slot = w.slots[s];
            std::uint8_t* at = data + slot.offset;
            // Whole IPv4 addresses and MACs, the bulk: their change from the values, without a pass over bytes.
            if (slot.kind == SlotKind::Ipv4 && slot.present == 4) {
                std::uint32_t before = w.in4[slot.batch], after = w.out4[slot.batch];
                slot.residue =
                    (after >> 16) + (after & 0xFFFF) + 2 * ChecksumModulus - (before >> 16) - (before & 0xFFFF);
                at[0] = static_cast<std::uint8_t>(after >> 24);
                at[1] = static_cast<std::uint8_t>(after >> 16);
                at[2] = static_cast<std::uint8_t>(after >> 8);
                at[3] = static_cast<std::uint8_t>(after);
                continue;
            }
            if (slot.kind == SlotKind::Mac && slot.present == 6) {
                std::uint64_t before = w.inMac[slot.batch], after = w.outMac[slot.batch];
                slot.residue = (after >> 32) + ((after >> 16) & 0xFFFF) + (after & 0xFFFF) + 3 * ChecksumModulus -
                               (before >> 32) - ((before >> 16) & 0xFFFF) - (before & 0xFFFF);
                MacPermutation::toBytes(after, at);
                continue;
            }
            if (slot.kind == SlotKind::Pad) {
                slot.residue = padOver(at, slot);
                continue;
            }
            std::uint8_t image[16];
            switch (slot.kind) {
                case SlotKind::Ipv4: {
                    std::uint32_t v = w.out4[slot.batch];
                    image[0] = static_cast<std::uint8_t>(v >> 24);
                    image[1] = static_cast<std::uint8_t>(v >> 16);
                    image[2] = static_cast<std::uint8_t>(v >> 8);
                    image[3] = static_cast<std::uint8_t>(v);
                    break;
                }
                case SlotKind::Ipv6: std::memcpy(image, w.out6[slot.batch].bytes, 16); break;
                case SlotKind::Mac: MacPermutation::toBytes(w.outMac[slot.batch], image); break;
                case SlotKind::Link:
                    for (std::uint32_t i = 0; i < slot.present; ++i)
                        image[i] = static_cast<std::uint8_t>(w.outLink[slot.batch] >> (8 * (slot.present - 1 - i)));
                    break;
                case SlotKind::Pad: break;
            }
            // A prefix keeps its bits past its length as they stand.
            if (slot.prefixBits < 8u * slot.present) {
                for (std::uint32_t i = 0; i < slot.present; ++i) {
                    std::uint32_t mapped = slot.prefixBits > 8 * i ? slot.prefixBits - 8 * i : 0;
                    if (mapped >= 8) continue;
                    std::uint8_t mask = static_cast<std::uint8_t>(0xFF00u >> mapped);
                    image[i] = static_cast<std::uint8_t>((image[i] & mask) | (at[i] & ~mask));
                }
            }
            slot.residue = changeResidue(at, image, slot.present);
            std::memcpy(at, image, slot.present);
        }
        // Inner checksums were recorded after the outer ones that cover them.
        for (std::uint32_t c = pending.checksumEnd; c-- > pending.checksumBegin;) {
            ChecksumField& field = w.checksums[c];
            std::uint64_t residue = 0;
            for (std::uint32_t s = pending.slotBegin; s < pending.slotEnd; ++s) {
                const Slot& slot = w.slots[s];
                if (slot.offset >= field.begin && slot.offset < field.end)
                    residue += withParity(slot.residue, slot.offset - field.begin);
            }
            if (field.pseudoSrc >= 0) residue += w.slots[field.pseudoSrc].residue;
            if (field.pseudoDst >= 0) residue += w.slots[field.pseudoDst].residue;
            for (std::uint32_t k = c + 1; k < pending.checksumEnd; ++k) {
                const ChecksumField& inner = w.checksums[k];
                if (inner.field >= field.begin && inner.field < field.end)
                    residue += withParity(inner.residue, inner.field - field.begin);
            }
            std::uint8_t* at = data + field.field;
            std::uint16_t before = static_cast<std::uint16_t>(at[0] << 8 | at[1]);
            std::uint16_t after = updatedChecksum(before, residue, field.zeroMeansNone);
            std::uint8_t bytes[2] = {static_cast<std::uint8_t>(after >> 8), static_cast<std::uint8_t>(after)};
            field.residue = changeResidue(at, bytes, 2);
            at[0] = bytes[0];
            at[1] = bytes[1];
        }
        if (pending.zeroCut) zeroAfterHeaders(w, pending);
        if (pending.carryFcs)
            carryFcs(data + pending.walkable, pending.crcBefore, frameCrc(data, pending.walkable));
    }
    w.clear();
}

}  // namespace ipveil::packet
