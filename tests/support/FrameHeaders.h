#pragma once

#include <cstdint>

#include "frame/FrameHeader.h"

// A raw frame's header as the capture side fills it: the geometry and number given, a
// fixed capture time (2023-11-14 22:13:20.250 UTC, one hour east, summer time), 25
// frames/s, lengths for the pixels behind it. Tests change what they are about.
inline FrameHeader TestFrameHeader(uint32_t width, uint32_t height, uint32_t frameNumber = 1) {
    FrameHeader h;
    h.totalLength = kFrameHeaderSize + width * height;
    h.dataLength = width * height;
    h.frameNumber = frameNumber;
    h.time = 1700000000;
    h.millitm = 250;
    h.timezone = -60;
    h.dstflag = 1;
    h.width = width;
    h.height = height;
    h.frameRate = 25.0;
    return h;
}
