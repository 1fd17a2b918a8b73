#include "compression/HuffyuvDecoder.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frame/BitmapInfoHeader.h"
#include "frame/FrameHeader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

namespace {

std::string AvErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// True for layouts whose first plane is the 8-bit luma of the picture.
bool HasPlainLumaPlane(int format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (d == nullptr || d->nb_components < 1)
        return false;
    if (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                    AV_PIX_FMT_FLAG_HWACCEL))
        return false;
    return d->comp[0].plane == 0 && d->comp[0].depth == 8 && d->comp[0].step == 1 &&
           d->comp[0].offset == 0 && d->comp[0].shift == 0;
}

}  // namespace

CHuffyuvDecoder::CHuffyuvDecoder() = default;

CHuffyuvDecoder::~CHuffyuvDecoder() {
    Close();
}

CError CHuffyuvDecoder::Fail(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return CError{-1, text};
}

void CHuffyuvDecoder::Close() {
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    openFormat_.clear();
}

CResult<> CHuffyuvDecoder::Open(const uint8_t* format, uint32_t formatLength) {
    std::vector<uint8_t> key(format, format + formatLength);
    std::memset(key.data() + kBiSizeImageOffset, 0, sizeof(uint32_t));
    if (context_ != nullptr && key == openFormat_)
        return Success();
    Close();

    BITMAPINFOHEADER bih;
    std::memcpy(&bih, format, sizeof bih);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HUFFYUV);
    if (codec == nullptr)
        return Fail("no HuffYUV decoder in this libavcodec");
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    const uint32_t extraSize = formatLength - kBitmapInfoHeaderSize;
    if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
        Close();
        return Fail("out of memory");
    }
    if (extraSize != 0) {
        context_->extradata =
            static_cast<uint8_t*>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (context_->extradata == nullptr) {
            Close();
            return Fail("out of memory");
        }
        std::memcpy(context_->extradata, format + kBitmapInfoHeaderSize, extraSize);
        context_->extradata_size = static_cast<int>(extraSize);
    }
    context_->width = bih.biWidth;
    context_->height = bih.biHeight;
    context_->codec_tag = bih.biCompression;
    context_->bits_per_coded_sample = bih.biBitCount;
    context_->thread_count = 1;  // the image back for every packet, at once
    const int r = avcodec_open2(context_, codec, nullptr);
    if (r < 0) {
        Close();
        return Fail("the format block does not open the HuffYUV decoder: %s",
                    AvErrorText(r).c_str());
    }
    openFormat_ = std::move(key);
    return Success();
}

CResult<> CHuffyuvDecoder::Decode(const uint8_t* format, uint32_t formatLength, const uint8_t* data,
                                  uint32_t dataLength, uint32_t width, uint32_t height,
                                  std::vector<uint8_t>& gray) {
    if (format == nullptr || formatLength < kBitmapInfoHeaderSize)
        return Fail("format block of %u bytes is shorter than 40", formatLength);
    if (formatLength > kMaxFormatLength)
        return Fail("format block of %u bytes is too long", formatLength);
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, format, sizeof bih);
    if (bih.biSize != formatLength)
        return Fail("format block of %u bytes says it has %u", formatLength, bih.biSize);
    if (bih.biCompression != kFourCCHfyu)
        return Fail("format block is not HuffYUV (code 0x%08x)", bih.biCompression);
    if (width == 0 || height == 0 || uint64_t{width} * height > kMaxPixels)
        return Fail("frame size %ux%u is out of range", width, height);
    // An odd width travels one column wider.
    const bool widthFits =
        bih.biWidth > 0 && (static_cast<uint32_t>(bih.biWidth) == width ||
                            (width % 2 == 1 && static_cast<uint32_t>(bih.biWidth) == width + 1));
    if (!widthFits || bih.biHeight <= 0 || static_cast<uint32_t>(bih.biHeight) != height)
        return Fail("format block size %dx%d does not fit the frame size %ux%u", bih.biWidth,
                    bih.biHeight, width, height);
    if (data == nullptr || dataLength == 0)
        return Fail("no image data");
    if (dataLength > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
        return Fail("image data of %u bytes is too long", dataLength);
    if (auto opened = Open(format, formatLength); !opened)
        return opened;

    // A packet that does not own its data is copied, with zeroed padding, by the library.
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = static_cast<int>(dataLength);
    int r = avcodec_send_packet(context_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (r >= 0)
        r = avcodec_receive_frame(context_, frame_);
    if (r < 0) {
        Close();
        return Fail("HuffYUV data does not decode: %s", AvErrorText(r).c_str());
    }
    const bool layoutOk = frame_->width == bih.biWidth && frame_->height == bih.biHeight &&
                          HasPlainLumaPlane(frame_->format) && frame_->linesize[0] > 0;
    if (!layoutOk) {
        const int decodedFormat = frame_->format;
        av_frame_unref(frame_);
        Close();
        return Fail("decoded picture has an unexpected layout (format %d)", decodedFormat);
    }
    gray.resize(static_cast<size_t>(width) * height);
    for (uint32_t row = 0; row < height; ++row)
        std::memcpy(gray.data() + static_cast<size_t>(row) * width,
                    frame_->data[0] + static_cast<size_t>(row) * frame_->linesize[0], width);
    av_frame_unref(frame_);
    return Success();
}

CResult<> CHuffyuvDecoder::DecodeMessage(const uint8_t* message, size_t length,
                                         std::vector<uint8_t>& gray, uint32_t& width,
                                         uint32_t& height) {
    if (message == nullptr || length < kFrameHeaderSize)
        return Fail("message of %zu bytes is shorter than its header", length);
    const FrameHeader h = ReadHeader<FrameHeader>(message);
    if (h.magic != kFrameMagic || h.codec != kFourCCHfyu)
        return Fail("not a lossless message (magic 0x%08x, code 0x%08x)", h.magic, h.codec);
    if (h.totalLength != length)
        return Fail("total length %u differs from the %zu bytes received", h.totalLength, length);
    if (uint64_t{kFrameHeaderSize} + h.formatLength + h.dataLength != h.totalLength)
        return Fail("format length %u and data length %u do not add up to total length %u",
                    h.formatLength, h.dataLength, h.totalLength);
    if (h.width == 0 || h.height == 0 || uint64_t{h.width} * h.height > kMaxPixels)
        return Fail("frame size %ux%u is out of range", h.width, h.height);
    const uint8_t* body = message + kFrameHeaderSize;
    if (h.compressed == 0) {
        const uint64_t pixels = uint64_t{h.width} * h.height;
        if (h.formatLength != 0 || h.dataLength != pixels)
            return Fail("raw message of %ux%u carries %u format and %u data bytes", h.width,
                        h.height, h.formatLength, h.dataLength);
        gray.assign(body, body + pixels);
    } else if (h.compressed == 1) {
        auto decoded = Decode(body, h.formatLength, body + h.formatLength, h.dataLength, h.width,
                              h.height, gray);
        if (!decoded)
            return decoded;
    } else {
        return Fail("compressed field %u is neither 0 nor 1", h.compressed);
    }
    width = h.width;
    height = h.height;
    return Success();
}
