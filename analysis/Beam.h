#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The beam as ISO 11146 describes it, measured beside the spot statistics (which stay as
// they are for the control system's peers). Pixel coordinates as the spot's: the centre of
// column i is x = i, of row j is y = j; angles in degrees from +x towards +y (down the
// image).

// A rectangle of the oriented frame; width 0 means the whole frame.
struct BeamRoi {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    bool operator==(const BeamRoi&) const = default;
};

// Largest region side and offset a setting may name, whatever the frame.
constexpr int32_t kMaxRoiExtent = 65535;

// "" when `roi` may be set (non-negative, inside the bounds, width and height both 0 or both
// positive), else the reason, one line.
std::string CheckRoi(const BeamRoi& roi);
// The region measured on a frame of this size: the whole frame for width 0, else `roi`
// clipped to the frame (width 0 when nothing of it is left).
BeamRoi ClipRoi(const BeamRoi& roi, uint32_t frameWidth, uint32_t frameHeight);

// A 1-D Gaussian a·exp(−(x−centre)²/(2σ²)) + offset fitted to a profile.
struct GaussianFit {
    bool ok = false;  // false when the fit did not converge or had nothing to fit
    double amplitude = 0;
    double centre = 0;  // in frame pixels, as the centroid
    double sigma = 0;
    double offset = 0;
    double r2 = 0;  // coefficient of determination of the fit
};

enum class BeamBackground { kNone, kDark, kEstimated };
// "none", "dark" or "estimated".
const char* BackgroundName(BeamBackground background);

// Why a result is or is not a beam size to trust.
constexpr const char* kBeamOk = "ok";
constexpr const char* kBeamNone = "no beam";
constexpr const char* kBeamAtEdge = "beam touches the region's edge";
constexpr const char* kBeamSaturated = "saturated";

struct BeamResult {
    uint64_t frame = 0;  // the frame number of the measured frame
    bool valid = false;
    const char* reason = kBeamNone;
    BeamBackground background = BeamBackground::kNone;
    BeamRoi roi;           // the region measured, clipped to the frame
    double baseline = 0;   // background level subtracted (mean over the region; gray levels)
    double noise = 0;      // rms noise of the background (gray levels)
    double centroidX = 0;  // first moments, pixels
    double centroidY = 0;
    double sigmaX = 0;  // square roots of the second moments σ²x, σ²y, pixels
    double sigmaY = 0;
    double sigmaXY = 0;     // the mixed second moment σ²xy, pixels² (signed)
    double widthMajor = 0;  // D4σ along the principal axes, pixels
    double widthMinor = 0;
    double angle = 0;        // of the major axis, degrees in (−90, 90]
    double ellipticity = 0;  // widthMinor / widthMajor
    double peakValue = 0;    // the highest raw pixel value in the region
    int32_t peakX = 0;
    int32_t peakY = 0;
    double total = 0;        // sum above the background inside the integration area
    uint32_t saturated = 0;  // pixels at 255 in the region
    int iterations = 0;      // steps the integration area took
    bool converged = false;  // the integration area stopped moving
    // The integration area (inside `roi`), and the background-corrected projections over it:
    // profileX[i] is column area.x + i summed over the area's rows; likewise profileY.
    BeamRoi area;
    std::vector<float> profileX;
    std::vector<float> profileY;
    GaussianFit fitX;
    GaussianFit fitY;
    // Fits to the beam's core: the columns summed over the area's rows within 1.4 σy of the
    // centroid (likewise for y). The wings of profileX hold mostly noise, so these centres
    // scatter least from frame to frame; their σ is sigmaX only for a beam along the axes.
    GaussianFit coreFitX;
    GaussianFit coreFitY;
};

// A mean of dark frames, subtracted pixel by pixel where its size matches the frame.
struct DarkFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frames = 0;      // how many frames were averaged; 0: none
    std::vector<float> mean;  // width × height, rows top to bottom
};

// Measures one beam. Holds working buffers between frames, so one object serves one thread.
class CBeamAnalyzer {
  public:
    // `pixels` is width × height 8-bit gray, rows top to bottom; `dark` may be null or of
    // another size (the background is then estimated from the frame).
    void Measure(const uint8_t* pixels, uint32_t width, uint32_t height, const BeamRoi& roi,
                 const DarkFrame* dark, BeamResult* result);

  private:
    struct Pass;
    struct Moments;
    // Projects the rectangle (relative to the region) into col_, row_ and rowX_.
    void Project(int32_t x, int32_t y, int32_t width, int32_t height, Pass* pass);

    const uint8_t* raw_ = nullptr;  // the region's first pixel in the frame
    size_t rawStride_ = 0;
    bool useDark_ = false;
    std::vector<int16_t> work_;  // the region minus the dark frame, in 1/8 gray levels
    std::vector<int32_t> colAcc_;
    std::vector<double> col_;   // column sums of the last projected rectangle
    std::vector<double> row_;   // row sums
    std::vector<double> rowX_;  // per row Σ (x − rectangle's x)·value
    std::vector<float> core_;   // a core projection being fitted
};

// Averages `frames` dark frames of one size. One thread.
class CDarkAccumulator {
  public:
    explicit CDarkAccumulator(uint32_t frames) : wanted_(frames) {}
    // False (and nothing added) when the size differs from the first frame's.
    bool Add(const uint8_t* pixels, uint32_t width, uint32_t height);
    bool Done() const { return count_ >= wanted_; }
    // The mean so far.
    DarkFrame Result() const;

  private:
    uint32_t wanted_;
    uint32_t count_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<uint32_t> sum_;
};

// The dark frame on disk: a 16-bit PGM holding the mean × 256, written atomically. Both
// return false with one line in `error` on failure (a file that is not such a PGM, a size
// out of bounds, an I/O error).
bool SaveDarkFrame(const std::string& path, const DarkFrame& dark, std::string* error);
bool LoadDarkFrame(const std::string& path, DarkFrame* dark, std::string* error);
// The same PGM in memory (as the web server sends it): "" for a dark frame of no valid size.
std::string EncodeDarkFrame(const DarkFrame& dark);
bool ParseDarkFrame(const std::string& data, DarkFrame* dark, std::string* error);
