#include "processing/PixelConversion.h"

#include <cstdlib>
#include <cstring>

uint32_t SourceBytesPerPixel(int conversion) {
    switch (conversion) {
        case kConversionRgb24:
            return 3;
        case kConversionRgb32:
            return 4;
        case kConversionUyvy:
        case kConversionYuy2:
            return 2;
        case kConversionGrey:
            return 1;
        default:
            return 0;
    }
}

namespace {

uint32_t Stride(int conversion, uint32_t width, uint32_t srcStride) {
    return srcStride != 0 ? srcStride : SourceBytesPerPixel(conversion) * width;
}

// First source row of the top output row, and the step between rows.
const uint8_t* FirstRow(const uint8_t* src, uint32_t stride, int32_t biHeight, ptrdiff_t* step) {
    uint32_t height = static_cast<uint32_t>(std::abs(biHeight));
    if (biHeight > 0) {
        *step = -static_cast<ptrdiff_t>(stride);
        return src + static_cast<size_t>(height - 1) * stride;
    }
    *step = static_cast<ptrdiff_t>(stride);
    return src;
}

}  // namespace

size_t SourceFrameBytes(int conversion, uint32_t width, int32_t biHeight, uint32_t srcStride) {
    if (SourceBytesPerPixel(conversion) == 0)
        return 0;
    return static_cast<size_t>(Stride(conversion, width, srcStride)) *
           static_cast<uint32_t>(std::abs(biHeight));
}

void ConvertRgbToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                      int32_t biHeight, uint32_t srcStride) {
    const uint32_t b = SourceBytesPerPixel(conversion);
    const uint32_t height = static_cast<uint32_t>(std::abs(biHeight));
    ptrdiff_t step;
    const uint8_t* row = FirstRow(src, Stride(conversion, width, srcStride), biHeight, &step);
    for (uint32_t r = 0; r < height; ++r, row += step) {
        const uint8_t* p = row;
        for (uint32_t x = 0; x < width; ++x, p += b)
            *dst++ = static_cast<uint8_t>(p[1] * 0.587 + p[2] * 0.299 + p[0] * 0.114);
    }
}

void ConvertYuvToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                      int32_t biHeight, uint32_t srcStride) {
    const uint32_t height = static_cast<uint32_t>(std::abs(biHeight));
    const uint32_t yOffset = conversion == kConversionUyvy ? 1 : 0;
    ptrdiff_t step;
    const uint8_t* row = FirstRow(src, Stride(conversion, width, srcStride), biHeight, &step);
    for (uint32_t r = 0; r < height; ++r, row += step) {
        const uint8_t* p = row + yOffset;
        for (uint32_t x = 0; x < width; ++x, p += 2)
            *dst++ = *p;
    }
}

bool ConvertToGray(const uint8_t* src, uint8_t* dst, int conversion, uint32_t width,
                   int32_t biHeight, uint32_t srcStride) {
    switch (conversion) {
        case kConversionRgb24:
        case kConversionRgb32:
            ConvertRgbToGray(src, dst, conversion, width, biHeight, srcStride);
            return true;
        case kConversionUyvy:
        case kConversionYuy2:
            ConvertYuvToGray(src, dst, conversion, width, biHeight, srcStride);
            return true;
        case kConversionGrey: {
            const uint32_t height = static_cast<uint32_t>(std::abs(biHeight));
            ptrdiff_t step;
            const uint8_t* row =
                FirstRow(src, Stride(conversion, width, srcStride), biHeight, &step);
            for (uint32_t r = 0; r < height; ++r, row += step, dst += width)
                std::memcpy(dst, row, width);
            return true;
        }
        default:
            return false;
    }
}
