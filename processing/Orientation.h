#pragma once

#include <cstdint>
#include <string_view>

// The orientation names; an index is a position in the configuration dialog's list.
inline constexpr int kOrientationCount = 7;

// Indices 1 to 6 give their names; every other index gives "NORM".
const char* OrientationNameFromIndex(int index);
// An exact (case-sensitive) match gives its index; "NORM" and unknown text give 0.
int OrientationIndexFromName(std::string_view name);
// True for the three quarter turns, after which the caller exchanges width and height.
bool OrientationSwapsWidthHeight(std::string_view name);

// Writes the re-oriented copy of the width × height source frame into `dst`, which holds
// width × height elements and does not overlap `src`. The element is 1 byte for up to 8
// bits per pixel, 2 bytes up to 16 and 4 bytes above; elements are copied, never read.
// Returns true when `dst` was written: false for "NORM", an unknown name, a width or
// height of 0 or less and null pointers, and then nothing is written, so the caller goes
// on with the unchanged source. Any thread; no state.
bool Orient(void* dst, const void* src, std::string_view name, int32_t width, int32_t height,
            int32_t bitsPerPixel);
