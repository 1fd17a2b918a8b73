#include "compression/CodecSet.h"

#include <cstring>
#include <new>

#include "base/LogSink.h"
#include "frame/FrameHeader.h"

CResult<> CCodecSet::InitializeCompressionCodec(int width, int height, int bitsPerPixel,
                                                int jpegQuality) {
    Release();
    lastTrace_.clear();
    libraryReason_.clear();
    // Every stage after capture works on 8-bit gray; another depth would size every
    // buffer below wrongly.
    if (bitsPerPixel != 8) {
        Trace(FormatLogText("CCodecSet: frames of %d bits per pixel; the codecs take 8.",
                            bitsPerPixel));
        return Failure();
    }

    jpegEncoder_.reset(new (std::nothrow) CJpegEncoder);
    if (!jpegEncoder_) {
        Trace("CCodecSet: no memory for the JPEG encoder.");
        return Failure();
    }
    if (auto sized = jpegEncoder_->SetSize(width, height); !sized) {
        Trace(sized.Message());
        Release();
        return Failure();
    }
    jpegEncoder_->SetQuality(jpegQuality);
    jpegCapacity_ = jpegEncoder_->GetMaxOutputSize();
    jpegBuffer_ = CPoolBlock::Alloc(jpegCapacity_);
    if (!jpegBuffer_) {
        Trace("CCodecSet: no memory for the JPEG buffer.");
        Release();
        return Failure();
    }

    inputFormat_ = BITMAPINFOHEADER{};
    inputFormat_.biSize = kBitmapInfoHeaderSize;
    inputFormat_.biWidth = width;
    inputFormat_.biHeight = height;
    inputFormat_.biPlanes = 1;
    inputFormat_.biBitCount = 24;
    inputFormat_.biCompression = 0;
    inputFormat_.biSizeImage = static_cast<uint32_t>(int64_t{width} * height * bitsPerPixel / 8);

    codec_.reset(new (std::nothrow) CCompression);
    if (!codec_) {
        Trace("CMainDlg::InitializeCompressionCodec : Error instantiating CCompression class.");
        Release();
        return Failure();
    }
    if (auto opened = codec_->Init(kFourCCHfyu, &inputFormat_); !opened) {
        Trace(opened.Message());
        libraryReason_ = codec_->LibraryReason();
        Release();
        return Failure();
    }
    auto formatLength = codec_->GetOutputFormatLength();
    if (!formatLength) {
        Trace(formatLength.Message());
        Release();
        return Failure();
    }
    outputFormatLength_ = formatLength.Value();
    outputFormat_ = CPoolBlock::Alloc(outputFormatLength_);
    if (!outputFormat_) {
        Trace(
            "CMainDlg::InitializeCompressionCodec : Could not allocate memory needed for output "
            "format.");
        Release();
        return Failure();
    }
    std::memcpy(outputFormat_.Data(), &outputFormatLength_, sizeof outputFormatLength_);
    if (auto copied = codec_->GetOutputFormat(outputFormat_.Data()); !copied) {
        Trace(copied.Message());
        Release();
        return Failure();
    }
    auto maxCompressed = codec_->GetMaxCompressedSize();
    if (!maxCompressed) {
        Trace(
            "CMainDlg::InitializeCompressionCodec: Could not get max length of compressed "
            "picture.");
        Release();
        return Failure();
    }
    maxCompressedSize_ = maxCompressed.Value();
    const uint64_t compressedForm =
        uint64_t{kFrameHeaderSize} + outputFormatLength_ + maxCompressedSize_;
    const uint64_t rawForm = uint64_t{kFrameHeaderSize} + uint64_t(width) * uint64_t(height);
    const uint64_t capacity = compressedForm > rawForm ? compressedForm : rawForm;
    if (capacity <= UINT32_MAX)
        losslessRecord_ = CPoolBlock::Alloc(uint32_t(capacity));
    if (!losslessRecord_) {
        Trace(
            "CMainDlg::InitializeCompressionCodec: Could not allocate buffer for compressed "
            "frame.");
        Release();
        return Failure();
    }
    width_ = width;
    height_ = height;
    return Success();
}

CError CCodecSet::Failure() const {
    return CError{-1, FailureReason()};
}

std::string CCodecSet::FailureReason() const {
    if (libraryReason_.empty())
        return lastTrace_;
    return lastTrace_ + " (libavcodec: " + libraryReason_ + ")";
}

void CCodecSet::DeinitializeCompressionCodec() {
    LogMessage(log_, "Deinitializing compression codec...");
    Release();
}

void CCodecSet::Release() {
    if (codec_) {
        (void)codec_->Done();  // everything is released either way
        codec_.reset();
    }
    outputFormat_.Reset();
    outputFormatLength_ = 0;
    maxCompressedSize_ = 0;
    losslessRecord_.Reset();
    if (jpegEncoder_) {
        jpegEncoder_->Reset();
        jpegEncoder_.reset();
    }
    jpegBuffer_.Reset();
    jpegCapacity_ = 0;
}
