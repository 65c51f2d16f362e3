#include "pcap_loop.h"

#include "file_io.h"

namespace ipveil::cmd {

PcapOutcome runPcapLoop(capture::CaptureReader& reader, capture::CaptureWriter& writer,
                        packet::FrameRewriter& rewriter, capture::Frame* frames, std::size_t count,
                        capture::ReadStatus status, packet::FrameRewriter* then) noexcept {
    packet::Frame views[PcapWindowFrames];
    for (;;) {
        for (std::size_t i = 0; i < count; ++i)
            views[i] = {frames[i].data, frames[i].captured, frames[i].linkType, frames[i].fcsPresent(),
                        frames[i].keepsLength()};
        rewriter.rewrite(views, count);
        if (then != nullptr) then->rewrite(views, count);
        for (std::size_t i = 0; i < count; ++i) frames[i].captured = views[i].captured;
        if (!writer.write(reader, frames, count)) return {status, true};
        if (status != capture::ReadStatus::More || io::stopSignal() != 0) {
            // Every whole packet read goes out before any complaint about what
            // follows, and before a stop signal ends the process.
            return {status, !writer.finish()};
        }
        status = reader.read(frames, PcapWindowFrames, count);
    }
}

}  // namespace ipveil::cmd
