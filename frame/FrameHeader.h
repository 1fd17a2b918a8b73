#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "frame headers are stored in host order, which must be little-endian");

constexpr uint32_t kFrameMagic = 0x11223344;
constexpr uint32_t kFrameHeaderSize = 88;
constexpr uint32_t kFourCCHfyu = 0x55594648;  // "HFYU"
constexpr uint32_t kFourCCJfif = 0x4649464A;  // "JFIF"

// The 88-byte header of a frame record and of every lossless message.
struct FrameHeader {
    uint32_t magic = kFrameMagic;
    uint32_t codec = kFourCCHfyu;
    uint32_t totalLength = 0;
    uint32_t dataLength = 0;
    uint32_t formatLength = 0;
    uint32_t frameNumber = 0;
    int32_t time = 0;  // seconds since 1970-01-01 UTC
    uint16_t millitm = 0;
    int16_t timezone = 0;  // minutes west of UTC
    int16_t dstflag = 0;
    uint16_t pad0 = 0;
    uint32_t reserved0 = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t compressed = 0;
    uint32_t pad1 = 0;
    double frameRate = 0;
    double scale = 0;
    uint32_t bitsPerPixel = 8;
    uint32_t effectiveBits = 8;
    uint8_t pad2[8] = {};
};

static_assert(sizeof(FrameHeader) == kFrameHeaderSize);
static_assert(offsetof(FrameHeader, codec) == 4);
static_assert(offsetof(FrameHeader, totalLength) == 8);
static_assert(offsetof(FrameHeader, dataLength) == 12);
static_assert(offsetof(FrameHeader, formatLength) == 16);
static_assert(offsetof(FrameHeader, frameNumber) == 20);
static_assert(offsetof(FrameHeader, time) == 24);
static_assert(offsetof(FrameHeader, millitm) == 28);
static_assert(offsetof(FrameHeader, timezone) == 30);
static_assert(offsetof(FrameHeader, dstflag) == 32);
static_assert(offsetof(FrameHeader, pad0) == 34);
static_assert(offsetof(FrameHeader, reserved0) == 36);
static_assert(offsetof(FrameHeader, width) == 40);
static_assert(offsetof(FrameHeader, height) == 44);
static_assert(offsetof(FrameHeader, compressed) == 48);
static_assert(offsetof(FrameHeader, pad1) == 52);
static_assert(offsetof(FrameHeader, frameRate) == 56);
static_assert(offsetof(FrameHeader, scale) == 64);
static_assert(offsetof(FrameHeader, bitsPerPixel) == 72);
static_assert(offsetof(FrameHeader, effectiveBits) == 76);
static_assert(offsetof(FrameHeader, pad2) == 80);

// The 88-byte header of a lossy (JPEG) message.
struct JpegFrameHeader {
    uint32_t magic = kFrameMagic;
    uint32_t kind = kFourCCJfif;
    uint32_t totalLength = 0;
    uint32_t dataLength = 0;
    uint32_t formatLength = 0;
    uint32_t frameNumber = 0;
    int32_t time = 0;
    uint16_t millitm = 0;
    int16_t timezone = 0;
    int16_t dstflag = 0;
    uint16_t pad0 = 0;
    uint16_t reserved0 = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t compressed = 1;
    uint32_t pad1 = 0;
    double scale = 0;
    uint16_t bitsPerPixel = 24;
    char cameraName[29] = {};
    uint8_t terminator = 0;
};

static_assert(sizeof(JpegFrameHeader) == kFrameHeaderSize);
static_assert(offsetof(JpegFrameHeader, kind) == 4);
static_assert(offsetof(JpegFrameHeader, totalLength) == 8);
static_assert(offsetof(JpegFrameHeader, dataLength) == 12);
static_assert(offsetof(JpegFrameHeader, formatLength) == 16);
static_assert(offsetof(JpegFrameHeader, frameNumber) == 20);
static_assert(offsetof(JpegFrameHeader, time) == 24);
static_assert(offsetof(JpegFrameHeader, millitm) == 28);
static_assert(offsetof(JpegFrameHeader, timezone) == 30);
static_assert(offsetof(JpegFrameHeader, dstflag) == 32);
static_assert(offsetof(JpegFrameHeader, pad0) == 34);
static_assert(offsetof(JpegFrameHeader, reserved0) == 36);
static_assert(offsetof(JpegFrameHeader, width) == 38);
static_assert(offsetof(JpegFrameHeader, height) == 40);
static_assert(offsetof(JpegFrameHeader, compressed) == 42);
static_assert(offsetof(JpegFrameHeader, pad1) == 44);
static_assert(offsetof(JpegFrameHeader, scale) == 48);
static_assert(offsetof(JpegFrameHeader, bitsPerPixel) == 56);
static_assert(offsetof(JpegFrameHeader, cameraName) == 58);
static_assert(offsetof(JpegFrameHeader, terminator) == 87);

// Copies the first 29 bytes of `name` into the header, zero-padded; byte 87 stays 0, so
// bytes 58 to 87 always form a terminated text.
inline void SetCameraName(JpegFrameHeader& h, const char* name) {
    std::memset(h.cameraName, 0, sizeof h.cameraName);
    if (name != nullptr)
        std::memcpy(h.cameraName, name, strnlen(name, sizeof h.cameraName));
    h.terminator = 0;
}

// Byte-exact reads and writes; `bytes` needs no alignment.
template <typename Header>
inline Header ReadHeader(const void* bytes) {
    Header h;
    std::memcpy(&h, bytes, sizeof h);
    return h;
}

template <typename Header>
inline void WriteHeader(void* bytes, const Header& h) {
    std::memcpy(bytes, &h, sizeof h);
}
