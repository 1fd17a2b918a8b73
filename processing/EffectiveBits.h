#pragma once

#include <cstddef>
#include <cstdint>

// True when every one of `pixelCount` pixels fits in the low min(effectiveBits,
// bitsPerPixel) bits. Pixels are unsigned 8-, 16- or 32-bit values, as bitsPerPixel says;
// any other bitsPerPixel gives false, a pixelCount of 0 gives true. Reads nothing beyond
// pixelCount × bitsPerPixel / 8 bytes; 16- and 32-bit pixels may be unaligned.
bool CheckEffectiveBits(const void* pixels, int bitsPerPixel, int effectiveBits, size_t pixelCount);
