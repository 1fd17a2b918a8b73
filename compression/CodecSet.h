#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Result.h"
#include "compression/Compression.h"
#include "compression/JpegEncoder.h"
#include "frame/BitmapInfoHeader.h"
#include "frame/FrameHeader.h"
#include "frame/PoolBlock.h"

class ILogSink;

// Everything the frame pipeline needs to build the messages of both channels for one frame
// geometry: the JPEG encoder with its output buffer, the lossless codec, a copy of the
// codec's output format and the lossless record buffer. Owned by the main controller,
// which sets it up whenever the frame size is known; main thread only.
//
// The lossless record buffer holds either form of the lossless message: 88 + output
// format length + the codec's maximum compressed size, and 88 + width × height.
class CCodecSet {
  public:
    explicit CCodecSet(ILogSink* log) : log_(log) {}
    ~CCodecSet() { Release(); }
    CCodecSet(const CCodecSet&) = delete;
    CCodecSet& operator=(const CCodecSet&) = delete;

    // Sets up everything for frames of width × height at `bitsPerPixel` (only 8 exists).
    // On failure nothing is left set up; the message is FailureReason(). Releases an
    // earlier set-up first.
    CResult<> InitializeCompressionCodec(int width, int height, int bitsPerPixel, int jpegQuality);
    // Logs "Deinitializing compression codec..." and releases everything; always safe.
    void DeinitializeCompressionCodec();

    bool IsInitialized() const { return codec_ != nullptr; }
    // The frame geometry of the last successful set-up (0 × 0 without one).
    int Width() const { return codec_ ? width_ : 0; }
    int Height() const { return codec_ ? height_ : 0; }
    CCompression* Codec() const { return codec_.get(); }
    // The lossless codec's four-character code, 0 without a codec.
    uint32_t GetFourCC() const { return codec_ ? codec_->GetFourCC() : 0; }
    CJpegEncoder* JpegEncoder() const { return jpegEncoder_.get(); }
    uint8_t* JpegBuffer() const { return jpegBuffer_.Data(); }
    uint32_t JpegCapacity() const { return jpegCapacity_; }
    // The copy of the codec's output format (BITMAPINFOHEADER and codec bytes).
    uint8_t* OutputFormat() const { return outputFormat_.Data(); }
    uint32_t OutputFormatLength() const { return outputFormatLength_; }
    uint32_t MaxCompressedSize() const { return maxCompressedSize_; }
    uint8_t* LosslessRecord() const { return losslessRecord_.Data(); }
    uint32_t LosslessRecordCapacity() const { return losslessRecord_.Size(); }
    // Where Compress writes: behind the header and the format block.
    uint8_t* CompressedImage() const {
        return !losslessRecord_ ? nullptr
                                : losslessRecord_.Data() + kFrameHeaderSize + outputFormatLength_;
    }
    // Why the last set-up failed, for the log: the report and the library's own words.
    std::string FailureReason() const;

  private:
    CError Failure() const;
    void Release();
    void Trace(const std::string& text) { lastTrace_ = text; }

    ILogSink* log_;
    int width_ = 0;
    int height_ = 0;
    std::unique_ptr<CJpegEncoder> jpegEncoder_;
    CPoolBlock jpegBuffer_;
    uint32_t jpegCapacity_ = 0;
    BITMAPINFOHEADER inputFormat_{};
    std::unique_ptr<CCompression> codec_;
    CPoolBlock outputFormat_;
    uint32_t outputFormatLength_ = 0;
    uint32_t maxCompressedSize_ = 0;
    CPoolBlock losslessRecord_;
    std::string lastTrace_;
    std::string libraryReason_;
};
