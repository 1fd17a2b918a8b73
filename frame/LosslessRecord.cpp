#include "frame/LosslessRecord.h"

#include <cstring>

#include "frame/FastCopy.h"

uint32_t PutCompressedRecord(uint8_t* record, uint32_t capacity, FrameHeader header,
                             const void* format, uint32_t formatLength, const void* image,
                             uint32_t imageLength) {
    const uint64_t total = uint64_t{kFrameHeaderSize} + formatLength + imageLength;
    if (record == nullptr || total > capacity)
        return 0;
    header.totalLength = static_cast<uint32_t>(total);
    header.dataLength = imageLength;
    header.formatLength = formatLength;
    header.compressed = 1;
    header.bitsPerPixel = 8;
    uint8_t* imageAt = record + kFrameHeaderSize + formatLength;
    if (image != imageAt && imageLength > 0)
        std::memmove(imageAt, image, imageLength);
    if (formatLength > 0)
        std::memcpy(record + kFrameHeaderSize, format, formatLength);
    WriteHeader(record, header);
    return header.totalLength;
}

uint32_t PutRawRecord(uint8_t* record, uint32_t capacity, FrameHeader header, const void* pixels) {
    const uint64_t pixelCount = uint64_t{header.width} * header.height;
    const uint64_t total = kFrameHeaderSize + pixelCount;
    if (record == nullptr || total > capacity)
        return 0;
    header.totalLength = static_cast<uint32_t>(total);
    header.dataLength = static_cast<uint32_t>(pixelCount);
    header.formatLength = 0;
    header.compressed = 0;
    header.bitsPerPixel = 8;
    if (pixelCount > 0)
        FastCopy(record + kFrameHeaderSize, pixels, static_cast<uint32_t>(pixelCount));
    WriteHeader(record, header);
    return header.totalLength;
}

uint32_t PutLosslessRecord(uint8_t* record, uint32_t capacity, const FrameHeader& header,
                           const void* format, uint32_t formatLength, const void* compressedImage,
                           uint32_t compressedLength, const void* pixels) {
    const uint64_t compressed = uint64_t{formatLength} + compressedLength;
    const uint64_t raw = uint64_t{header.width} * header.height;
    if (compressedImage != nullptr && formatLength > 0 && compressed <= raw)
        return PutCompressedRecord(record, capacity, header, format, formatLength, compressedImage,
                                   compressedLength);
    return PutRawRecord(record, capacity, header, pixels);
}

std::vector<uint8_t> MakeCompressedRecord(const FrameHeader& header, const void* format,
                                          uint32_t formatLength, const void* image,
                                          uint32_t imageLength) {
    std::vector<uint8_t> record(size_t{kFrameHeaderSize} + formatLength + imageLength);
    PutCompressedRecord(record.data(), static_cast<uint32_t>(record.size()), header, format,
                        formatLength, image, imageLength);
    return record;
}

std::vector<uint8_t> MakeRawRecord(const FrameHeader& header, const void* pixels) {
    std::vector<uint8_t> record(size_t{kFrameHeaderSize} + size_t{header.width} * header.height);
    PutRawRecord(record.data(), static_cast<uint32_t>(record.size()), header, pixels);
    return record;
}
