#pragma once

#include <cstddef>
#include <cstdint>

// Conversion numbers of the accepted sample formats; -1 until a format is accepted.
enum PixelConversionKind : int {
    kConversionNone = -1,
    kConversionRgb24 = 0,  // blue, green, red
    kConversionRgb32 = 1,  // blue, green, red, ignored
    kConversionUyvy = 2,   // U/V, Y
    kConversionYuy2 = 3,   // Y, U/V
    kConversionGrey = 4,   // one gray byte per pixel (V4L2 GREY); a copy
};

// Bytes per source pixel of a conversion; 0 for an unknown one.
uint32_t SourceBytesPerPixel(int conversion);

// Bytes one sample needs: stride × |height|, where stride is `srcStride` or, when that
// is 0, width × bytes per pixel. 0 for an unknown conversion, and 0 for a `srcStride`
// shorter than one row of pixels (such a layout cannot be converted).
size_t SourceFrameBytes(int conversion, uint32_t width, int32_t biHeight, uint32_t srcStride = 0);

// Writes the top-down 8-bit gray image (width × |biHeight| bytes, no padding) of one
// sample. A positive biHeight means the first row in memory is the bottom row.
// `srcStride` is the distance between source rows in bytes; 0 means unpadded rows.
// The caller guarantees `src` holds SourceFrameBytes(...) bytes. False for an unknown
// conversion or a stride shorter than a row (nothing is written). Any thread; no state.
bool ConvertToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                   int32_t biHeight, uint32_t srcStride = 0);

// Conversions 0 and 1: trunc(G × 0.587 + R × 0.299 + B × 0.114) in double precision.
// Like ConvertToGray, but they write nothing for another conversion or a short stride.
void ConvertRgbToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                      int32_t biHeight, uint32_t srcStride = 0);
// Conversions 2 and 3: the Y byte of each pair.
void ConvertYuvToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                      int32_t biHeight, uint32_t srcStride = 0);
