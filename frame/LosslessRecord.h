#pragma once

#include <cstdint>
#include <vector>

#include "frame/FrameHeader.h"

// The lossless record: the 88-byte header, then either the codec's format block and the
// compressed image (compressed 1) or the raw image, width × height bytes (compressed 0).
// These builders complete the header's length fields and lay the record out.

// Header + format block + compressed image into `record` (`capacity` bytes). The image
// may already stand in place (at record + 88 + formatLength); otherwise it is copied.
// Returns the record length, or 0 when it does not fit.
uint32_t PutCompressedRecord(uint8_t* record, uint32_t capacity, FrameHeader header,
                             const void* format, uint32_t formatLength, const void* image,
                             uint32_t imageLength);

// Header + width × height raw bytes. Returns the record length, or 0 when it does not fit.
uint32_t PutRawRecord(uint8_t* record, uint32_t capacity, FrameHeader header, const void* pixels);

// The frame pipeline's choice: compressed when 88 + format + compressed image is not longer
// than the raw record, else raw. `compressedImage` may stand in place as above.
uint32_t PutLosslessRecord(uint8_t* record, uint32_t capacity, const FrameHeader& header,
                           const void* format, uint32_t formatLength, const void* compressedImage,
                           uint32_t compressedLength, const void* pixels);

// The same records as new vectors, for tools and tests.
std::vector<uint8_t> MakeCompressedRecord(const FrameHeader& header, const void* format,
                                          uint32_t formatLength, const void* image,
                                          uint32_t imageLength);
std::vector<uint8_t> MakeRawRecord(const FrameHeader& header, const void* pixels);
