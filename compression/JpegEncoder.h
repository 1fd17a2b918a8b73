#pragma once

#include <array>
#include <cstdint>

#include "base/Result.h"
#include "frame/FrameHeader.h"

// RGB of every gray value: black, blue, cyan, yellow, red, dark red, and 255 white.
struct FalseColour {
    uint8_t r, g, b;
};
const std::array<FalseColour, 256>& FalseColourTable();

// Builds the lossy message of a frame: the false-colour rendering of the 8-bit gray image,
// compressed by libjpeg at the configured quality, behind a JpegFrameHeader. Owned by the
// main controller's CCodecSet; main thread only. Nothing of libjpeg survives a call, and
// a library error fails that frame only.
class CJpegEncoder {
  public:
    static constexpr int kDefaultQuality = 30;

    CJpegEncoder() = default;
    virtual ~CJpegEncoder() = default;
    CJpegEncoder(const CJpegEncoder&) = delete;
    CJpegEncoder& operator=(const CJpegEncoder&) = delete;

    // Sizes the output (GetMaxOutputSize) and lets Encode run. A size the lossy header
    // cannot carry (outside 1 to 65535) is refused, and the encoder stays invalid.
    CResult<> SetSize(int width, int height);
    // Stores the quality, clamped to 1 to 100.
    void SetQuality(int quality);
    void Reset() { valid_ = false; }
    // 2 × width × height + 88 once a size is set, else 0.
    uint32_t GetMaxOutputSize() const;

    // Writes the lossy message of the frame into `output`. Width and height come from
    // `header` (after orientation), not from SetSize; `pixels` holds width × height
    // bytes. `size` holds the capacity of `output` on entry and the message length after
    // success. `name` is the camera name (null counts as empty). On failure `output` and
    // `size` are untouched. A JPEG longer than 2 × width × height bytes fails the frame.
    CResult<> Encode(const uint8_t* pixels, const FrameHeader& header, uint8_t* output,
                     uint32_t& size, const char* name);

  private:
    bool valid_ = false;
    int height_ = -1;
    int width_ = -1;
    int quality_ = kDefaultQuality;
};
