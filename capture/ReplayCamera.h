#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/CaptureBackend.h"

// What a replay path asks for.
struct ReplayRequest {
    std::string path;     // absolute: an HDF5 file or a folder of images
    double rate = 0;      // frames/s; 0 when not given
    bool loop = true;     // start again after the last frame; false: go silent there
    std::string dataset;  // the HDF5 dataset; empty when not given
};

// Parses "replay:/absolute/path" with an optional query "?rate=25&loop=1&dataset=/a/b".
// rate 0.1 to 1000, loop 0 or 1, dataset an absolute HDF5 path; each key at most once.
// The message says what is wrong with anything else.
CResult<ReplayRequest> ParseReplayPath(const std::string& devicePath);

// A camera that plays back recorded frames: the frames of a 3-D 8-bit HDF5 dataset
// ([frames, height, width], by default the recorder's /entry/data/data), or the 8-bit
// gray PGM or PNG images of a folder in name order. Its one mode is the frames' size in
// GREY at the path's rate (default: the recording's own rate from the time stamps beside
// the dataset, else 25 frames/s). Frames are read one at a time on the device's
// streaming thread, so a long recording costs one frame of memory. Files are untrusted:
// sizes are bounded and every length is checked before use.
// There is nothing to discover, so it lists no devices; a configured path is opened
// unlisted.
class CReplayBackend : public ICaptureBackend {
  public:
    static constexpr const char* kPrefix = "replay:";
    static constexpr uint32_t kMaxSide = 16384;
    static constexpr const char* kDefaultDataset = "/entry/data/data";

    void EnumerateDevices(std::vector<DeviceInfo>* devices) override;
    bool DescribeUnlisted(const std::string& devicePath, DeviceInfo* info) const override;
    CResult<std::unique_ptr<ICaptureDevice>> Open(const std::string& devicePath) override;
};
