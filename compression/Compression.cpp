#include "compression/Compression.h"

#include <cstring>

#include "base/LogSink.h"
#include "frame/FrameHeader.h"
#include "frame/PoolBlock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

// ICERR_BADFORMAT: the input description is not one the codec can take.
constexpr int kBadFormat = -2;

// The encoder allocates each packet with this size and never writes past it.
uint64_t EncoderPacketBound(uint64_t encodedWidth, uint64_t height) {
    return encodedWidth * height * 3 * 4 + AV_INPUT_BUFFER_MIN_SIZE;
}

// The codec or the frame geometry cannot give an output format; `code` is the cause.
CError OutputFormatFailure(int code) {
    return CError{code, FormatLogText("CCompression::Init : Could not get frame output format "
                                      "(errcode=%xh).",
                                      static_cast<unsigned>(code))};
}

}  // namespace

CCompression::CCompression() = default;

CCompression::~CCompression() {
    // Nobody is left to hear that ending the stream failed.
    if (initialized_)
        Close(nullptr);
}

CResult<> CCompression::Init(uint32_t fourCC, const BITMAPINFOHEADER* inputFmt) {
    if (initialized_)
        return Success();
    if (inputFmt == nullptr)
        return CError{-1, "CCompression::Init: Parameter inputFmt is NULL !"};
    std::memcpy(&inputFormat_, inputFmt, sizeof inputFormat_);

    const AVCodec* codec =
        fourCC == kFourCCHfyu ? avcodec_find_encoder(AV_CODEC_ID_HUFFYUV) : nullptr;
    if (codec != nullptr)
        context_ = avcodec_alloc_context3(codec);
    libraryError_ = 0;
    if (context_ == nullptr) {
        libraryError_ = codec == nullptr ? AVERROR_ENCODER_NOT_FOUND : AVERROR(ENOMEM);
        return CError{
            -1, FormatLogText("CCompression::Init: Could not open the Codec '%c%c%c%c'.",
                              static_cast<char>(fourCC), static_cast<char>(fourCC >> 8),
                              static_cast<char>(fourCC >> 16), static_cast<char>(fourCC >> 24))};
    }

    // The gray block is width × |height| bytes; a description that promises fewer bytes
    // than that would make the codec read past the caller's block.
    const int64_t width = inputFormat_.biWidth;
    const int64_t height = inputFormat_.biHeight < 0 ? -int64_t{inputFormat_.biHeight}
                                                     : int64_t{inputFormat_.biHeight};
    const bool describedSmaller =
        inputFormat_.biSizeImage != 0 && inputFormat_.biSizeImage < width * height;
    if (inputFormat_.biSize < kBitmapInfoHeaderSize || inputFormat_.biCompression != 0 ||
        width < 1 || height < 1 || width > 65536 || height > 65536 || describedSmaller) {
        Close(nullptr);
        return OutputFormatFailure(kBadFormat);
    }
    width_ = static_cast<uint32_t>(width);
    height_ = static_cast<uint32_t>(height);
    const uint32_t encodedWidth = (width_ + 1) & ~1u;  // 4:2:2 needs an even width

    context_->width = static_cast<int>(encodedWidth);
    context_->height = static_cast<int>(height_);
    context_->pix_fmt = AV_PIX_FMT_YUV422P;
    context_->time_base = AVRational{1, 25};
    context_->thread_count = 1;  // one packet back for every frame, at once
    // Classic decoders take frames taller than 288 rows as interlaced; saying so keeps
    // them and this encoder in agreement (left prediction codes both the same way).
    if (height_ > 288)
        context_->flags |= AV_CODEC_FLAG_INTERLACED_ME;
    // Left prediction measured smallest on spot images at this speed, and the median
    // predictor crashes the encoder for a width of 2.
    av_opt_set(context_->priv_data, "pred", "left", 0);
    int r = avcodec_open2(context_, nullptr, nullptr);
    if (r < 0)
        libraryError_ = r;
    const uint64_t bound = EncoderPacketBound(encodedWidth, height_);
    if (r >= 0 && bound > UINT32_MAX - kFrameHeaderSize - 65536u)
        r = kBadFormat;  // the record sizes of this geometry would not fit 32 bits
    if (r < 0) {
        Close(nullptr);
        return OutputFormatFailure(r);
    }
    fourCC_ = fourCC;
    maxCompressedSize_ = static_cast<uint32_t>(bound);

    const uint32_t extraSize =
        context_->extradata_size > 0 ? static_cast<uint32_t>(context_->extradata_size) : 0;
    const uint32_t formatLength = kBitmapInfoHeaderSize + extraSize;
    outputFormat_ = CPoolBlock::Alloc(formatLength);
    if (!outputFormat_) {
        Close(nullptr);
        return CError{
            -1, "CCompression::Init: Could not allocate memory needed for frame output format."};
    }
    BITMAPINFOHEADER out;
    out.biSize = formatLength;
    out.biWidth = static_cast<int32_t>(encodedWidth);
    out.biHeight = static_cast<int32_t>(height_);
    out.biPlanes = 1;
    out.biBitCount = static_cast<uint16_t>(context_->bits_per_coded_sample);
    out.biCompression = kFourCCHfyu;
    std::memcpy(outputFormat_.Data(), &out, sizeof out);
    if (extraSize != 0)
        std::memcpy(outputFormat_.Data() + kBitmapInfoHeaderSize, context_->extradata, extraSize);

    frame_ = av_frame_alloc();
    input_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    r = frame_ != nullptr && input_ != nullptr && packet_ != nullptr ? 0 : AVERROR(ENOMEM);
    if (r == 0) {
        frame_->format = AV_PIX_FMT_YUV422P;
        frame_->width = static_cast<int>(encodedWidth);
        frame_->height = static_cast<int>(height_);
        r = av_frame_get_buffer(frame_, 0);
    }
    if (r < 0) {
        libraryError_ = r;
        Close(nullptr);
        return CError{r,
                      FormatLogText("CCompression::Init : Error on ICCompressBegin (errcode=%xh).",
                                    static_cast<unsigned>(r))};
    }
    for (int plane = 1; plane <= 2; ++plane)
        std::memset(frame_->data[plane], 128,
                    static_cast<size_t>(frame_->linesize[plane]) * height_);
    initialized_ = true;
    return Success();
}

void CCompression::MarkCompressFailed() {
    // A size larger than the raw image makes the frame go out raw.
    std::memcpy(outputFormat_.Data() + kBiSizeImageOffset, &maxCompressedSize_, sizeof(uint32_t));
}

// Presents the gray block as the Y plane of `input`: in place for an even width, as a
// padded copy in frame_ for an odd one. U and V are always frame_'s constant planes.
bool CCompression::PrepareInput(const uint8_t* pixels, AVFrame* input) {
    if (width_ % 2 == 0) {
        // The encoder reads rows of exactly the width and no row outside the frame (a
        // guard-page test holds it to that), so the caller's block serves as it is and
        // saves a frame-sized copy. The block outlives the call: the encoder keeps no
        // reference once the packet is out, and the no-op free leaves the block alone.
        input->buf[0] = av_buffer_create(
            const_cast<uint8_t*>(pixels), size_t{width_} * height_, [](void*, uint8_t*) {}, nullptr,
            AV_BUFFER_FLAG_READONLY);
        input->buf[1] = av_buffer_ref(frame_->buf[0]);
        if (input->buf[0] == nullptr || input->buf[1] == nullptr)
            return false;
        input->data[0] = const_cast<uint8_t*>(pixels);
        input->linesize[0] = static_cast<int>(width_);
    } else {
        if (av_frame_make_writable(frame_) < 0 || av_frame_ref(input, frame_) < 0)
            return false;
        const size_t stride = static_cast<size_t>(input->linesize[0]);
        for (uint32_t row = 0; row < height_; ++row) {
            const uint8_t* source = pixels + static_cast<size_t>(row) * width_;
            uint8_t* target = input->data[0] + row * stride;
            std::memcpy(target, source, width_);
            target[width_] = source[width_ - 1];
        }
        return true;
    }
    for (int plane = 1; plane <= 2; ++plane) {
        input->data[plane] = frame_->data[plane];
        input->linesize[plane] = frame_->linesize[plane];
    }
    input->format = frame_->format;
    input->width = frame_->width;
    input->height = frame_->height;
    return true;
}

CResult<> CCompression::Compress(const uint8_t* pixels, uint8_t* output) {
    if (!initialized_)
        return CError{-1, "CCompression::Compress: codec not initialized."};
    bool sent = false;
    if (pixels != nullptr && output != nullptr && PrepareInput(pixels, input_)) {
        input_->pts = 0;
        input_->pict_type = AV_PICTURE_TYPE_I;
        sent = avcodec_send_frame(context_, input_) >= 0;
    }
    av_frame_unref(input_);
    const int r = sent ? avcodec_receive_packet(context_, packet_) : -1;
    if (r < 0 || packet_->size <= 0 || static_cast<uint32_t>(packet_->size) > maxCompressedSize_) {
        if (r >= 0)
            av_packet_unref(packet_);
        MarkCompressFailed();
        return CError{r < 0 ? r : -1, "CCompression::Compress: the encoder gave no frame."};
    }
    const uint32_t size = static_cast<uint32_t>(packet_->size);
    std::memcpy(output, packet_->data, size);
    av_packet_unref(packet_);
    std::memcpy(outputFormat_.Data() + kBiSizeImageOffset, &size, sizeof size);
    return Success();
}

CResult<uint32_t> CCompression::GetOutputFormatLength() const {
    if (!outputFormat_)
        return CError{-1,
                      "CCompression::GetOutputFormatLength: Error: output format not initialized."};
    uint32_t length = 0;
    std::memcpy(&length, outputFormat_.Data(), sizeof length);
    return length;
}

CResult<> CCompression::GetOutputFormat(void* destination) const {
    if (!outputFormat_)
        return CError{-1, "CCompression::GetOutputFormat: Error: output format not initialized."};
    uint32_t own = 0;
    uint32_t theirs = 0;
    std::memcpy(&own, outputFormat_.Data(), sizeof own);
    if (destination != nullptr)
        std::memcpy(&theirs, destination, sizeof theirs);
    if (destination == nullptr || theirs != own)
        return CError{-1,
                      "CCompression::GetOutputFormat: Size of the output format does not match"};
    std::memcpy(destination, outputFormat_.Data(), own);
    return Success();
}

CResult<uint32_t> CCompression::GetMaxCompressedSize() const {
    if (!initialized_)
        return CError{-1, "CCompression::GetMaxCompressedSize: codec not initialized."};
    return maxCompressedSize_;
}

uint32_t CCompression::GetFourCC() const {
    return initialized_ ? fourCC_ : 0;
}

bool CCompression::Close(int* endError) {
    bool ended = true;
    if (context_ != nullptr && initialized_) {
        // Ending the stream: the encoder must give back nothing more.
        int r = avcodec_send_frame(context_, nullptr);
        while (r >= 0) {
            r = avcodec_receive_packet(context_, packet_);
            if (r >= 0)
                av_packet_unref(packet_);
        }
        if (r != AVERROR_EOF) {
            ended = false;
            if (endError != nullptr)
                *endError = r;
        }
    }
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_frame_free(&input_);
    av_packet_free(&packet_);
    outputFormat_.Reset();
    return ended;
}

CResult<> CCompression::Done() {
    if (!initialized_)
        return Success();
    int endError = 0;
    const bool ended = Close(&endError);
    // Everything is released either way, so the object is closed either way: an object
    // that stayed "initialised" over freed blocks would compress into freed memory.
    initialized_ = false;
    if (!ended)
        return CError{endError,
                      FormatLogText("CCompression::Done : Error on ICCompressEnd (errorcode=%xh)",
                                    static_cast<unsigned>(endError))};
    return Success();
}

std::string CCompression::LibraryReason() const {
    if (libraryError_ >= 0)
        return {};
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(libraryError_, text, sizeof text);
    return text;
}
