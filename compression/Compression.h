#pragma once

#include <cstdint>
#include <string>

#include "base/Result.h"
#include "frame/BitmapInfoHeader.h"
#include "frame/PoolBlock.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// The lossless codec of the Lossless channel: one open HuffYUV encoder (libavcodec) for
// one frame geometry, every frame compressed on its own as a key frame. Owned by the
// main controller's CCodecSet; main thread only.
//
// The pixel block given to Compress is always width × |height| 8-bit gray bytes, top row
// first, whatever biBitCount the input description declares: the block is never read
// past that size. It is presented to the encoder as YUV 4:2:2 with Y = the gray image and
// U = V = 128, so any HuffYUV decoder returns the image as its Y plane. An odd width is
// encoded one column wider (the last column repeated); the output format then says the
// even width, and a decoder crops to the frame header's width.
//
// Failures are returned with a fixed text and never logged here.
class CCompression {
  public:
    CCompression();
    virtual ~CCompression();
    CCompression(const CCompression&) = delete;
    CCompression& operator=(const CCompression&) = delete;

    // Opens the codec `fourCC` (only "HFYU" exists) for the frame geometry of `inputFmt`.
    // Succeeds also when already initialised; on failure nothing stays open.
    CResult<> Init(uint32_t fourCC, const BITMAPINFOHEADER* inputFmt);
    // Compresses one frame into `output`, which holds GetMaxCompressedSize bytes; the
    // output format's biSizeImage then holds the compressed size. On failure biSizeImage
    // holds the maximum compressed size, so a caller choosing the shorter form of a frame
    // never sends stale data as compressed.
    CResult<> Compress(const uint8_t* pixels, uint8_t* output);
    // The output format's length (its biSize), when there is one.
    CResult<uint32_t> GetOutputFormatLength() const;
    // Copies the output format into `destination`, whose first u32 must already hold the
    // output format's length. Fails when there is none or the lengths differ.
    CResult<> GetOutputFormat(void* destination) const;
    // A size the compressed image can never exceed; fails when not initialised.
    CResult<uint32_t> GetMaxCompressedSize() const;
    // The code given to a successful Init, 0 when not initialised.
    uint32_t GetFourCC() const;
    // Closes the codec and releases everything, also when ending the stream fails (then
    // the result is that failure). Succeeds when closed cleanly or not initialised.
    CResult<> Done();

    bool IsInitialized() const { return initialized_; }
    // libavcodec's own words for the failure of the last set-up, empty when the library
    // reported none.
    std::string LibraryReason() const;

  private:
    // Frees the encoder, frame, packet and output format; false when ending the stream
    // failed, with the library's code in `endError`.
    bool Close(int* endError);
    void MarkCompressFailed();
    bool PrepareInput(const uint8_t* pixels, AVFrame* input);

    AVCodecContext* context_ = nullptr;  // the open compressor, or null
    AVFrame* frame_ = nullptr;           // YUV 4:2:2: U and V stay 128; Y for odd widths
    AVFrame* input_ = nullptr;           // the frame handed to the encoder, refs only
    AVPacket* packet_ = nullptr;
    CPoolBlock outputFormat_;  // BITMAPINFOHEADER + encoder extradata
    BITMAPINFOHEADER inputFormat_{};
    bool initialized_ = false;
    uint32_t fourCC_ = 0;
    uint32_t width_ = 0;  // of the gray image; the encoder's width is even
    uint32_t height_ = 0;
    uint32_t maxCompressedSize_ = 0;
    int libraryError_ = 0;  // AVERROR code of the last failed library call in Init
};
