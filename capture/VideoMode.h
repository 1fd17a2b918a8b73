#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/CaptureBackend.h"

// One compatible video mode of a device, as the mode table holds it. Plain data.
struct VideoModeEntry {
    uint32_t sampleSize = 0;
    double framesPerSecond = 0;  // 0 when the frame interval is unknown or zero
    int32_t source[4] = {};      // left, top, right, bottom
    int32_t target[4] = {};
    uint32_t bitRate = 0;
    int32_t width = 0;
    int32_t height = 0;  // negative: rows are top-down, as every backend delivers them
    uint16_t planes = 1;
    uint16_t bitCount = 0;
    uint32_t compression = 0;  // FourCC, 0 for uncompressed RGB
    uint32_t imageSize = 0;
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t indexAtCapturePin = 0;  // index of the capability at the device
    uint32_t pixelFormat = 0;        // V4L2 pixel format code
};

// The entry of capability `index`, or nothing when the system cannot use its format.
std::optional<VideoModeEntry> ModeEntryFromCapability(const VideoCapability& cap, uint32_t index);

// The compatible capabilities in device order.
std::vector<VideoModeEntry> BuildModeTable(const std::vector<VideoCapability>& caps);

// Entry `modeIndex` when it is in the table, else entry 0. The table must not be empty.
int ChooseMode(int modeIndex, size_t modeCount);

// "RGB" or the four FourCC characters (a zero byte as the digit 0), in double quotes.
std::string CompressionText(uint32_t compression);

// The configuration dialog's description of the chosen mode (index 0-based).
std::string FormatModeInfo(int index, const VideoModeEntry& entry);

// The preview dialog's mode-list line of table entry `index` (0-based; shown from 1).
std::string FormatModeListLine(int index, const VideoModeEntry& entry);
