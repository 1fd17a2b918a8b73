#include "compression/JpegEncoder.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "net/BufferPool.h"
#include "net/FastCopy.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <jerror.h>
#include <jpeglib.h>

namespace {

constexpr FalseColour FalseColourOf(int v) {
    auto u = [](int x) { return static_cast<uint8_t>(x); };
    if (v == 0)
        return {0, 0, 0};
    if (v <= 31)
        return {0, 0, u(131 + 4 * v)};
    if (v <= 95)
        return {0, u(4 * (v - 32) + 3), 255};
    if (v <= 158)
        return {u(4 * (v - 96) + 3), 255, u(255 - 4 * (v - 95))};
    if (v == 159)
        return {255, 255, 0};
    if (v <= 222)
        return {255, u(255 - 4 * (v - 159)), 0};
    if (v == 223)
        return {255, 0, 0};
    if (v <= 254)
        return {u(255 - 4 * (v - 223)), 0, 0};
    return {255, 255, 255};
}

constexpr std::array<FalseColour, 256> MakeFalseColourTable() {
    std::array<FalseColour, 256> table{};
    for (int v = 0; v < 256; ++v)
        table[static_cast<size_t>(v)] = FalseColourOf(v);
    return table;
}

constexpr std::array<FalseColour, 256> kFalseColour = MakeFalseColourTable();
static_assert(kFalseColour[64].g == 131 && kFalseColour[127].b == 127 &&
              kFalseColour[192].g == 123 && kFalseColour[254].r == 131);

constexpr size_t kWorkBufferSize = 4096;
constexpr uint32_t kLengthPrefix = 4;  // the target starts with the u32 JPEG length
constexpr uint32_t kBandRows = 16;     // rows mapped and handed to libjpeg at once

// libjpeg's error manager, returning to the encoding call instead of ending the process.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void SilentMessage(j_common_ptr) {}

// Collects the JPEG behind a u32 length prefix in a block of `capacity` bytes, through a
// 4096-byte work buffer; a JPEG that would not fit fails the compression.
struct MemoryDestination {
    jpeg_destination_mgr pub;
    uint8_t* target;
    size_t capacity;
    size_t position;
    JOCTET* work;
};

void InitDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->work = static_cast<JOCTET*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, kWorkBufferSize * sizeof(JOCTET)));
    d->pub.next_output_byte = d->work;
    d->pub.free_in_buffer = kWorkBufferSize;
    d->position = kLengthPrefix;
}

void Flush(j_compress_ptr cinfo, size_t count) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    if (count > d->capacity - d->position)
        ERREXIT(cinfo, JERR_BUFFER_SIZE);
    std::memcpy(d->target + d->position, d->work, count);
    d->position += count;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    Flush(cinfo, kWorkBufferSize);
    d->pub.next_output_byte = d->work;
    d->pub.free_in_buffer = kWorkBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    Flush(cinfo, kWorkBufferSize - d->pub.free_in_buffer);
    const uint32_t length = static_cast<uint32_t>(d->position - kLengthPrefix);
    std::memcpy(d->target, &length, sizeof length);
}

void jpeg_buffer_dest(j_compress_ptr cinfo, uint8_t* target, size_t capacity) {
    if (cinfo->dest == nullptr)
        cinfo->dest = static_cast<jpeg_destination_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(MemoryDestination)));
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->pub.init_destination = InitDestination;
    d->pub.empty_output_buffer = EmptyOutputBuffer;
    d->pub.term_destination = TermDestination;
    d->target = target;
    d->capacity = capacity;
    d->position = kLengthPrefix;
    d->work = nullptr;
}

void MapBand(const uint8_t* gray, uint8_t* rgb, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const FalseColour& c = kFalseColour[gray[i]];
        rgb[3 * i] = c.r;
        rgb[3 * i + 1] = c.g;
        rgb[3 * i + 2] = c.b;
    }
}

// Compresses the false-colour image of `gray` into `target` (length prefix, then the
// JPEG). `band` holds kBandRows RGB rows. False when libjpeg failed or the JPEG did not
// fit. Only plain data lives in this frame, as longjmp skips destructors.
bool CompressFalseColour(const uint8_t* gray, uint32_t width, uint32_t height, int quality,
                         uint8_t* band, uint8_t* target, size_t capacity) {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = ErrorExit;
    err.pub.output_message = SilentMessage;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_buffer_dest(&cinfo, target, capacity);
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW rows[kBandRows];
    const size_t rowBytes = size_t{3} * width;
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint32_t first = cinfo.next_scanline;
        const uint32_t count = height - first < kBandRows ? height - first : kBandRows;
        MapBand(gray + static_cast<size_t>(first) * width, band, size_t{count} * width);
        for (uint32_t i = 0; i < count; ++i)
            rows[i] = band + i * rowBytes;
        jpeg_write_scanlines(&cinfo, rows, count);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

const std::array<FalseColour, 256>& FalseColourTable() {
    return kFalseColour;
}

int CJpegEncoder::SetSize(int width, int height) {
    if (width < 1 || width > 65535 || height < 1 || height > 65535)
        return 0;
    width_ = width;
    height_ = height;
    valid_ = true;
    return 1;
}

void CJpegEncoder::SetQuality(int quality) {
    quality_ = quality > 100 ? 100 : quality < 1 ? 1 : quality;
}

uint32_t CJpegEncoder::GetMaxOutputSize() const {
    if (!valid_)
        return 0;
    const uint64_t size = 2 * uint64_t(width_) * uint64_t(height_) + kFrameHeaderSize;
    return size > UINT32_MAX ? 0 : static_cast<uint32_t>(size);
}

int CJpegEncoder::Encode(const uint8_t* pixels, const FrameHeader& header, uint8_t* output,
                         uint32_t& size, const char* name) {
    if (!valid_ || pixels == nullptr || output == nullptr)
        return 0;
    const uint32_t width = header.width;
    const uint32_t height = header.height;
    // The lossy header carries 16-bit sizes.
    if (width == 0 || height == 0 || width > 65535 || height > 65535)
        return 0;
    const uint64_t pixelCount = uint64_t{width} * height;
    const uint64_t blockSize = 2 * pixelCount + kLengthPrefix;
    if (blockSize > UINT32_MAX)
        return 0;
    auto* band = static_cast<uint8_t*>(g_BufferPool.Alloc(3 * width * kBandRows));
    if (band == nullptr)
        return 0;
    auto* block = static_cast<uint8_t*>(g_BufferPool.Alloc(static_cast<uint32_t>(blockSize)));
    if (block == nullptr) {
        g_BufferPool.Free(band);
        return 0;
    }
    const bool compressed =
        CompressFalseColour(pixels, width, height, quality_, band, block, blockSize);
    g_BufferPool.Free(band);
    uint32_t jpegLength = 0;
    if (compressed)
        std::memcpy(&jpegLength, block, sizeof jpegLength);
    if (!compressed || uint64_t{jpegLength} + kFrameHeaderSize > size) {
        g_BufferPool.Free(block);
        return 0;
    }

    JpegFrameHeader lossy;
    lossy.magic = header.magic;
    lossy.kind = kFourCCJfif;
    lossy.totalLength = jpegLength + kFrameHeaderSize;
    lossy.dataLength = jpegLength;
    lossy.formatLength = 0;
    lossy.frameNumber = header.frameNumber;
    lossy.time = header.time;
    lossy.millitm = header.millitm;
    lossy.timezone = header.timezone;
    lossy.dstflag = header.dstflag;
    lossy.reserved0 = static_cast<uint16_t>(header.reserved0);
    lossy.width = static_cast<uint16_t>(width);
    lossy.height = static_cast<uint16_t>(height);
    lossy.compressed = 1;
    lossy.scale = header.scale;
    lossy.bitsPerPixel = 24;
    const size_t nameLength = name == nullptr ? 0 : strnlen(name, sizeof lossy.cameraName);
    std::memset(lossy.cameraName, 0, sizeof lossy.cameraName);
    if (nameLength != 0)
        std::memcpy(lossy.cameraName, name, nameLength);
    lossy.terminator = 0;
    WriteHeader(output, lossy);
    FastCopy(output + kFrameHeaderSize, block + kLengthPrefix, jpegLength);
    size = lossy.totalLength;
    g_BufferPool.Free(block);
    return 1;
}
