#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Result.h"

// Where a replay camera's frames come from: an HDF5 dataset or a folder of images. Files
// are untrusted: sizes are bounded and every length is checked before use. Read runs on
// the streaming thread only.
class IFrameSource {
  public:
    virtual ~IFrameSource() = default;
    // Frame `index` (< frames) into `gray` (width × height bytes).
    virtual CResult<> Read(uint64_t index, uint8_t* gray) = 0;

    uint64_t frames = 0;
    uint32_t width = 0, height = 0;
    double rate = 0;  // the recording's own, 0 when it does not say
};

// Replay rates, frames/s: a recording's time stamps outside them are ignored.
constexpr double kMinReplayRate = 0.1;
constexpr double kMaxReplayRate = 1000;

// The 3-D unsigned 8-bit `dataset` of the HDF5 file `path`; the message says why not.
CResult<std::unique_ptr<IFrameSource>> OpenHdf5Source(const std::string& path,
                                                      const std::string& dataset);
// The PGM or PNG images of `folder` in name order, all of one size and format.
CResult<std::unique_ptr<IFrameSource>> OpenImageFolderSource(const std::string& folder);

// The library would print its error stack to stderr; our one line says enough. The
// setting is per thread in the thread-safe build.
void SilenceHdf5();
