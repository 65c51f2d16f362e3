// The capture command's loop: windows of frames from the capture reader,
// through the frame rewriter in one call per window, to the capture writer.
#pragma once

#include <cstddef>

#include "capture_reader.h"
#include "capture_writer.h"
#include "frame_rewriter.h"

namespace ipveil::cmd {

struct PcapOutcome {
    capture::ReadStatus stop;  // why reading stopped: End, NotCapture, Corrupt or ReadError
    bool writeFailed;          // the output could not be written (reading may have stopped early)
};

// Carries every frame of the capture to the writer, in order, and finishes
// the output. `first`, `firstCount` and `firstStatus` are the window the
// caller has already read (to see that the input is a capture before it
// opens the output). Every whole packet before a fault has been written when
// this returns, unless the output failed. A stop signal caught (io::
// catchStopSignals) ends the run after the window being read. `then`, if
// given, rewrites every window again after `rewriter` (rekeying: revealed
// under one key, anonymized under another, the originals only ever in the
// window's memory).
PcapOutcome runPcapLoop(capture::CaptureReader& reader, capture::CaptureWriter& writer,
                        packet::FrameRewriter& rewriter, capture::Frame* frames, std::size_t count,
                        capture::ReadStatus status, packet::FrameRewriter* then = nullptr) noexcept;

// Frames per window: as many as the rewriter maps in one batch.
inline constexpr std::size_t PcapWindowFrames = packet::FrameRewriter::MaxFrames;

}  // namespace ipveil::cmd
