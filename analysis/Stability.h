#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/Beam.h"

// Beam stability over a rolling window of the newest valid beam results, as ISO 11670
// describes it, with the jitter spectrum of the centroid.
//
// The principal axes are those of the centroid scatter's covariance; "x" is the axis nearer
// the frame's +x, so the azimuth lies in (−45°, 45°], measured like the beam angle (from +x
// towards +y, down the image). Δ = 4 s along each axis.
//
// The spectrum is taken on the nominal frame grid. The grid step between two results is the
// difference of their frame numbers, or more when their capture times say frames are missing
// that the numbers do not show. Gaps of up to kMaxBridged frames (drops, invalid or skipped
// frames) are bridged by linear interpolation; a longer gap ends the spectrum's series, which
// then covers only the results after it (the statistics still cover the whole window). The
// series, less its mean, is weighted by the HFT95 flat-top window (Heinzel, Rüdiger and
// Schilling 2002: flatness 0.0044 dB, so a line between two bins keeps its amplitude to 0.1 %;
// sidelobes −95 dB; its main lobe spans ±5 bins, so lines closer than that are one line).
// Amplitudes are single-sided, in pixels, corrected by the window's coherent gain: a sine of
// amplitude A shows as A. Linear interpolation loses a line's amplitude at a bridged frame by
// the factor cos(2πf/rate) there; this is undone per bin from where the gaps lie.

// One sample of the window: a valid result and when it was captured.
struct StabilitySample {
    uint64_t frame = 0;
    double time = 0;  // seconds, any fixed origin
    double x = 0;     // centroid, px
    double y = 0;
    double major = 0;  // D4σ, px
    double minor = 0;
    double total = 0;
};

struct StabilityPeak {
    char axis = 'x';       // 'x' or 'y' (the frame's axes, not the principal ones)
    double frequency = 0;  // Hz
    double amplitude = 0;  // px
};

struct StabilityResult {
    uint32_t frames = 0;  // valid results in the window
    double seconds = 0;   // from the oldest to the newest capture time
    double rateHz = 0;    // of the nominal frame grid; 0 when the times do not tell it
    struct {
        double x = 0, y = 0;
    } mean;  // centroid, px
    struct {
        double x = 0, y = 0;
    } std;  // standard deviations along the principal axes, px
    struct {
        double x = 0, y = 0;  // 4 s, px
        double azimuth = 0;   // of the x principal axis, degrees
    } delta;
    struct {
        double major = 0, minor = 0;
    } widthStd;               // standard deviations of the D4σ widths, px
    double intensityRsd = 0;  // standard deviation of the total over its mean
    struct {
        std::vector<double> f;     // Hz, bin k at k·rate/frames
        std::vector<double> x, y;  // single-sided amplitude, px
        uint32_t frames = 0;       // grid points transformed
        uint32_t bridged = 0;      // of them, interpolated
    } spectrum;
    std::vector<StabilityPeak> peaks;  // up to three per axis, x first, strongest first
};

// The window and its computation. Not thread-safe: one owner; Compute may take a few
// milliseconds at the largest window, so the owner runs it off any latency-bound thread.
class CStability {
  public:
    static constexpr uint32_t kMinFrames = 16;
    static constexpr uint32_t kMaxFrames = 16384;
    static constexpr uint32_t kDefaultFrames = 1024;
    static constexpr uint32_t kMaxBridged = 8;  // longest run of missing frames interpolated
    static constexpr uint32_t kPeaksPerAxis = 3;

    explicit CStability(uint32_t frames = kDefaultFrames);
    ~CStability();
    CStability(const CStability&) = delete;
    CStability& operator=(const CStability&) = delete;

    // The window's length in results, clamped to the bounds; empties the window.
    void SetCapacity(uint32_t frames);
    uint32_t Capacity() const { return uint32_t(ring_.size()); }
    uint32_t Size() const { return count_; }

    // Appends a result if valid; `time` in seconds. A frame number below the newest (the
    // camera started over) starts a new window; a repeated one is ignored.
    void Add(const BeamResult& beam, double time);
    void Add(const StabilitySample& sample);
    void Reset() { count_ = 0; }

    void Compute(StabilityResult* result);

  private:
    struct Work;
    void Statistics(StabilityResult* result) const;
    void Spectrum(StabilityResult* result);

    std::vector<StabilitySample> ring_;
    uint32_t head_ = 0;  // where the next sample goes
    uint32_t count_ = 0;
    std::vector<StabilitySample> ordered_;  // Compute's copy, oldest first
    std::unique_ptr<Work> work_;
};
