#pragma once

#include <linux/videodev2.h>

#include <string>
#include <vector>

#include "capture/CaptureBackend.h"

// Where the synthetic camera puts its spot, in pixels of the chosen mode. Unset values
// take the defaults of the mode: the centre, and a twentieth of the size as rms width.
struct SyntheticSpot {
    double x = -1, y = -1;    // centre; -1 for the frame's centre
    double sx = -1, sy = -1;  // rms widths; -1 for a twentieth of width and height
    double noise = 2;         // noise amplitude in gray levels (0 for a clean image)
    double background = 12;   // gray level of the dark background ("Brightness" control)
    double amplitude = 200;   // peak height above the background ("Gain" control)
    double pace = 1;          // 0: no frame pacing, frames as fast as they are taken
    double stop = 0;          // frames a stream sends before it goes silent; 0: never
};

// Parses "synthetic:N" with an optional query "?x=40&y=20&sx=5&sy=3&noise=0&pace=0&stop=50".
// Keys are x, y, sx, sy, noise, pace, stop, each at most once, values plain decimal numbers
// within bounds (pace 0 or 1, stop a whole number).
// False with `error` set for anything else.
bool ParseSyntheticIdentity(const std::string& devicePath, int* number, SyntheticSpot* spot,
                            std::string* error);

// The gray image the synthetic camera shows for frame `sequence` (0 for the first frame of
// a stream): a Gaussian spot on a dark background with light noise that depends only on
// the sequence, so every sample format of one stream shows the same images.
void RenderSyntheticGray(const SyntheticSpot& spot, uint32_t width, uint32_t height,
                         uint64_t sequence, std::vector<uint8_t>* gray);

// Packs a gray image into one sample of `pixelFormat` such that the system's conversion
// gives the gray image back exactly.
void PackGraySample(const std::vector<uint8_t>& gray, uint32_t width, uint32_t height,
                    uint32_t pixelFormat, std::vector<uint8_t>* sample);

// The camera built into the server: always listed, for tests, demonstrations and machines
// without a camera. Streams its fixed mode table at the nominal rates on its own thread
// (or unpaced, for benchmarks). A small ring of frames is rendered once per stream and
// per control setting, so a frame costs about one copy.
// Its controls "Brightness" (background) and "Gain" (spot height) take effect from the
// next frame.
class CSyntheticBackend : public ICaptureBackend {
  public:
    static constexpr const char* kIdentity = "synthetic:0";
    static constexpr uint32_t kBrightnessId = V4L2_CID_BRIGHTNESS;
    static constexpr uint32_t kGainId = V4L2_CID_GAIN;

    void EnumerateDevices(std::vector<DeviceInfo>* devices) override;
    bool Matches(const std::string& identity, const std::string& devicePath) const override;
    CResult<std::unique_ptr<ICaptureDevice>> Open(const std::string& devicePath) override;

    static std::vector<VideoCapability> Modes();
};
