#include "compression/JpegEncoder.h"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "base/LogSink.h"
#include "frame/FastCopy.h"
#include "frame/PoolBlock.h"

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

// The false colours as libjpeg's own RGB to YCbCr conversion gives them (the same fixed
// point arithmetic, 16 fraction bits), packed as Y | Cb << 10 | Cr << 21 so that four
// entries add up without carries: the chroma of a 2 × 2 block is one sum.
constexpr int32_t Fix(double x) {
    return static_cast<int32_t>(x * 65536 + 0.5);
}

constexpr uint32_t PackedYccOf(FalseColour c) {
    const int32_t r = c.r, g = c.g, b = c.b;
    const int32_t half = 1 << 15, offset = 128 << 16;
    const int32_t y = (Fix(0.29900) * r + Fix(0.58700) * g + Fix(0.11400) * b + half) >> 16;
    const int32_t cb =
        (-Fix(0.16874) * r - Fix(0.33126) * g + Fix(0.5) * b + offset + half - 1) >> 16;
    const int32_t cr =
        (Fix(0.5) * r - Fix(0.41869) * g - Fix(0.08131) * b + offset + half - 1) >> 16;
    return static_cast<uint32_t>(y) | static_cast<uint32_t>(cb) << 10 |
           static_cast<uint32_t>(cr) << 21;
}

constexpr std::array<uint32_t, 256> MakePackedYccTable() {
    std::array<uint32_t, 256> table{};
    for (size_t v = 0; v < 256; ++v)
        table[v] = PackedYccOf(kFalseColour[v]);
    return table;
}

constexpr std::array<uint32_t, 256> kFalseColourYcc = MakePackedYccTable();

constexpr size_t kWorkBufferSize = 4096;
constexpr uint32_t kLengthPrefix = 4;  // the target starts with the u32 JPEG length

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

// One iMCU row of the frame as libjpeg's compressor holds it after its colour conversion
// and 2 × 2 chroma downsampling, built straight from the gray rows: Y at full size, Cb
// and Cr averaged over 2 × 2 with libjpeg's alternating rounding bias (1, 2, 1, 2 ...),
// rows padded on the right with their last sample to whole blocks, and the last row
// repeated at the bottom. libjpeg then writes the JPEG of the RGB image without converting
// or downsampling a pixel itself.
struct Planes {
    uint32_t width, height;
    uint32_t yStride;  // Y samples per row: whole 16-pixel MCUs
    uint32_t cStride;  // Cb and Cr samples per row
    uint8_t* y;        // 16 rows
    uint8_t* cb;       // 8 rows
    uint8_t* cr;       // 8 rows
    uint8_t* spare;    // a Y row written for a repeated bottom row and then not used
};

constexpr uint32_t kMcuRows = 16;

size_t PlanesBytes(uint32_t width) {
    const size_t mcus = (width + 15) / 16;
    return (kMcuRows + 1) * mcus * 16 + 2 * 8 * mcus * 8;
}

Planes MakePlanes(uint8_t* block, uint32_t width, uint32_t height) {
    Planes p;
    p.width = width;
    p.height = height;
    p.yStride = (width + 15) / 16 * 16;
    p.cStride = p.yStride / 2;
    p.y = block;
    p.spare = p.y + size_t{kMcuRows} * p.yStride;
    p.cb = p.spare + p.yStride;
    p.cr = p.cb + size_t{8} * p.cStride;
    return p;
}

// Writes the Y rows of gray rows g0 and g1 and their Cb and Cr row.
void MapRowPair(const Planes& p, const uint8_t* g0, const uint8_t* g1, uint8_t* y0, uint8_t* y1,
                uint8_t* cb, uint8_t* cr) {
    const auto& t = kFalseColourYcc;
    const uint32_t pairs = p.width / 2;
    for (uint32_t j = 0; j < pairs; ++j) {
        const uint32_t a = t[g0[2 * j]], b = t[g0[2 * j + 1]];
        const uint32_t c = t[g1[2 * j]], d = t[g1[2 * j + 1]];
        y0[2 * j] = static_cast<uint8_t>(a);
        y0[2 * j + 1] = static_cast<uint8_t>(b);
        y1[2 * j] = static_cast<uint8_t>(c);
        y1[2 * j + 1] = static_cast<uint8_t>(d);
        const uint32_t sum = a + b + c + d;
        const uint32_t bias = 1 + (j & 1);
        cb[j] = static_cast<uint8_t>((((sum >> 10) & 0x7FF) + bias) >> 2);
        cr[j] = static_cast<uint8_t>(((sum >> 21) + bias) >> 2);
    }
    // Right edge: the last pixel stands for every column up to the padded width.
    const uint32_t last = p.width - 1;
    if (p.width & 1) {
        y0[last] = static_cast<uint8_t>(t[g0[last]]);
        y1[last] = static_cast<uint8_t>(t[g1[last]]);
    }
    for (uint32_t x = p.width; x < p.yStride; ++x) {
        y0[x] = y0[last];
        y1[x] = y1[last];
    }
    // Every chroma sample from the last pixel's pair on sees only the last column.
    const uint32_t edge = 2 * (t[g0[last]] + t[g1[last]]);
    for (uint32_t j = pairs; j < p.cStride; ++j) {
        const uint32_t bias = 1 + (j & 1);
        cb[j] = static_cast<uint8_t>((((edge >> 10) & 0x7FF) + bias) >> 2);
        cr[j] = static_cast<uint8_t>(((edge >> 21) + bias) >> 2);
    }
}

// Fills the planes for the iMCU row starting at gray row `first` and points `rows` at
// them, repeating the last row of each plane below the bottom of the frame.
void MapMcuRow(const Planes& p, const uint8_t* gray, uint32_t first, JSAMPROW* yRows,
               JSAMPROW* cbRows, JSAMPROW* crRows) {
    const uint32_t chromaRows = (p.height + 1) / 2;
    for (uint32_t k = 0; k < kMcuRows / 2; ++k) {
        const uint32_t row = first + 2 * k;
        const uint32_t chromaRow = first / 2 + k;
        if (row < p.height) {
            const bool hasSecond = row + 1 < p.height;
            const uint8_t* g0 = gray + size_t{row} * p.width;
            const uint8_t* g1 = hasSecond ? g0 + p.width : g0;
            uint8_t* y0 = p.y + size_t{2 * k} * p.yStride;
            uint8_t* y1 = hasSecond ? y0 + p.yStride : p.spare;
            MapRowPair(p, g0, g1, y0, y1, p.cb + size_t{k} * p.cStride,
                       p.cr + size_t{k} * p.cStride);
        }
        const uint32_t lastY = p.height - 1 - first;
        for (uint32_t i = 2 * k; i < 2 * k + 2; ++i)
            yRows[i] = p.y + size_t{first + i < p.height ? i : lastY} * p.yStride;
        const uint32_t c = chromaRow < chromaRows ? k : chromaRows - 1 - first / 2;
        cbRows[k] = p.cb + size_t{c} * p.cStride;
        crRows[k] = p.cr + size_t{c} * p.cStride;
    }
}

// Compresses the false-colour image of `gray` into `target` (length prefix, then the
// JPEG), through the planes in `planeBlock` (PlanesBytes(width) bytes). False when
// libjpeg failed or the JPEG did not fit. Only plain data lives in this frame, as longjmp
// skips destructors.
bool CompressFalseColour(const uint8_t* gray, uint32_t width, uint32_t height, int quality,
                         uint8_t* planeBlock, uint8_t* target, size_t capacity) {
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
    cinfo.in_color_space = JCS_YCbCr;  // what the planes hold
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.raw_data_in = TRUE;
    jpeg_buffer_dest(&cinfo, target, capacity);
    jpeg_start_compress(&cinfo, TRUE);
    const Planes planes = MakePlanes(planeBlock, width, height);
    JSAMPROW yRows[kMcuRows], cbRows[kMcuRows / 2], crRows[kMcuRows / 2];
    JSAMPARRAY components[3] = {yRows, cbRows, crRows};
    while (cinfo.next_scanline < cinfo.image_height) {
        MapMcuRow(planes, gray, cinfo.next_scanline, yRows, cbRows, crRows);
        jpeg_write_raw_data(&cinfo, components, kMcuRows);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

const std::array<FalseColour, 256>& FalseColourTable() {
    return kFalseColour;
}

CResult<> CJpegEncoder::SetSize(int width, int height) {
    if (width < 1 || width > 65535 || height < 1 || height > 65535)
        return CError{-1, FormatLogText("CJpegEncoder: a frame of %d x %d is outside 1 to 65535 "
                                        "on a side.",
                                        width, height)};
    width_ = width;
    height_ = height;
    valid_ = true;
    return Success();
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

CResult<> CJpegEncoder::Encode(const uint8_t* pixels, const FrameHeader& header, uint8_t* output,
                               uint32_t& size, const char* name) {
    if (!valid_ || pixels == nullptr || output == nullptr)
        return CError{-1, "no size set or no buffer"};
    const uint32_t width = header.width;
    const uint32_t height = header.height;
    // The lossy header carries 16-bit sizes.
    if (width == 0 || height == 0 || width > 65535 || height > 65535)
        return CError{-1, "frame size out of range"};
    const uint64_t pixelCount = uint64_t{width} * height;
    const uint64_t blockSize = 2 * pixelCount + kLengthPrefix;
    if (blockSize > UINT32_MAX)
        return CError{-1, "frame size out of range"};
    CPoolBlock block = CPoolBlock::Alloc(static_cast<uint32_t>(blockSize));
    bool compressed = false;
    {
        CPoolBlock planes = CPoolBlock::Alloc(uint32_t(PlanesBytes(width)));
        if (!planes || !block)
            return CError{-1, "no memory"};
        compressed = CompressFalseColour(pixels, width, height, quality_, planes.Data(),
                                         block.Data(), blockSize);
    }
    uint32_t jpegLength = 0;
    if (compressed)
        std::memcpy(&jpegLength, block.Data(), sizeof jpegLength);
    if (!compressed)
        return CError{-1, "libjpeg failed or the JPEG outgrew its buffer"};
    if (uint64_t{jpegLength} + kFrameHeaderSize > size)
        return CError{-1, "the message is larger than the output"};

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
    FastCopy(output + kFrameHeaderSize, block.Data() + kLengthPrefix, jpegLength);
    size = lossy.totalLength;
    return Success();
}
