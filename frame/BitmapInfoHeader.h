#pragma once

#include <cstdint>

// The 40-byte bitmap header: it describes a capture mode and a codec's input and output,
// and it opens the format block of a compressed lossless message. Little-endian, no padding; read
// and write it with memcpy, the bytes of a message are not aligned.
struct BITMAPINFOHEADER {
    uint32_t biSize = 40;  // length of the whole format block, codec bytes included
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;  // four-character code, 0 for uncompressed
    uint32_t biSizeImage = 0;    // after a compression: bytes of the compressed image
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

static_assert(sizeof(BITMAPINFOHEADER) == 40);

constexpr uint32_t kBitmapInfoHeaderSize = 40;
constexpr uint32_t kBiSizeImageOffset = 20;
