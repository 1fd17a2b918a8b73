#pragma once

#include <cstdint>
#include <vector>

// A quarter turn clockwise, written out independently of the orientation code: the
// bottom-left pixel of the w × h source becomes the top-left one.
inline std::vector<uint8_t> TurnClockwise(const std::vector<uint8_t>& src, uint32_t w, uint32_t h) {
    std::vector<uint8_t> dst(src.size());
    for (uint32_t y = 0; y < w; ++y)
        for (uint32_t x = 0; x < h; ++x)
            dst[y * h + x] = src[(h - 1 - x) * w + y];
    return dst;
}
