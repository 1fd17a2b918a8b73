#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/BitmapInfoHeader.h"

// What a capture backend and the renderer filter agree on: the sample layout of a
// connection and one sample. Plain data, any thread.

constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// Sample times count in 100 ns units.
constexpr int64_t kTimeUnitsPerSecond = 10000000;

// The largest frame side the system accepts: the frame record's u32 sizes must hold
// 88 + width × height, and the lossy header's sizes are 16-bit signed on the wire.
constexpr uint32_t kMaxFrameSide = 32767;

// The 40-byte bitmap header of a video format; biHeight < 0: the first row in memory is
// the top row.
using BitmapInfoHeader = BITMAPINFOHEADER;

// The format of a connection. `subtype` is the V4L2 pixel format code of the sample
// layout (every backend speaks it); `stride` is the distance between rows in bytes,
// 0 for unpadded rows.
struct MediaType {
    uint32_t subtype = 0;
    bool hasFormat = false;
    BitmapInfoHeader header;
    uint32_t stride = 0;
};

// One sample as the backend hands it over; `data` is valid only during the call.
struct MediaSample {
    const uint8_t* data = nullptr;  // null: no data available
    size_t length = 0;              // bytes valid at data
    bool hasTime = false;
    int64_t startTime = 0;  // kTimeUnitsPerSecond units, any origin, increasing within one stream
};
