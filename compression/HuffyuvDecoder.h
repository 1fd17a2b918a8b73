#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Result.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// Turns lossless messages, as a viewer receives them, back into 8-bit gray images: raw
// ones by copying, compressed ones with libavcodec's HuffYUV decoder fed only the
// message's format block and data. Every byte is untrusted: lengths and sizes are checked
// before use, and a bad message fails with the reason as its message, never a crash.
// Keeps the decoder open while the format block stays the same. One object per thread.
class CHuffyuvDecoder {
  public:
    // Frames larger than this are refused before anything is allocated.
    static constexpr uint64_t kMaxPixels = 64ull << 20;
    static constexpr uint32_t kMaxFormatLength = 65536;

    CHuffyuvDecoder();
    ~CHuffyuvDecoder();
    CHuffyuvDecoder(const CHuffyuvDecoder&) = delete;
    CHuffyuvDecoder& operator=(const CHuffyuvDecoder&) = delete;

    // Decodes a whole lossless message (88-byte header and body, `length` bytes as
    // received), raw or compressed, into `gray`, `width` and `height`.
    CResult<> DecodeMessage(const uint8_t* message, size_t length, std::vector<uint8_t>& gray,
                            uint32_t& width, uint32_t& height);

  private:
    // Decodes one compressed image of `width` × `height` (the frame header's size) from
    // its format block and data into `gray` (rows top first, no padding).
    CResult<> Decode(const uint8_t* format, uint32_t formatLength, const uint8_t* data,
                     uint32_t dataLength, uint32_t width, uint32_t height,
                     std::vector<uint8_t>& gray);
    static CError Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
    CResult<> Open(const uint8_t* format, uint32_t formatLength);
    void Close();

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<uint8_t> openFormat_;  // format block of the open decoder, biSizeImage 0
};
