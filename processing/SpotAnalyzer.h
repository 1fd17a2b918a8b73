#pragma once

#include <cstdint>

#include "frame/PoolBlock.h"

// The column and row projections of one 8-bit gray image (width × height bytes, rows top to
// bottom, no padding), normalised to distributions. The image is borrowed and must outlive
// the object. The four arrays are buffer-pool blocks taken by the constructor and given back
// by the destructor; when one cannot be had there are no projections and the results stay
// 0. One object per frame, used on one thread.
class SpotProjection {
  public:
    SpotProjection(const uint8_t* image, uint32_t width, uint32_t height);
    virtual ~SpotProjection() = default;
    SpotProjection(const SpotProjection&) = delete;
    SpotProjection& operator=(const SpotProjection&) = delete;

    bool HasProjections() const { return xProjection_ != nullptr; }
    double GetXm() const { return xm_; }
    double GetYm() const { return ym_; }
    double GetXrms() const { return xrms_; }
    double GetYrms() const { return yrms_; }

  protected:
    const uint8_t* image_;
    uint32_t width_;
    uint32_t height_;
    // The inclusive region the statistics look at; the width step narrows it.
    uint32_t x0_ = 0;
    uint32_t x1_ = 0;
    uint32_t y0_ = 0;
    uint32_t y1_ = 0;
    // The four arrays live in these pool blocks; the pointers below view them.
    CPoolBlock blocks_[4];
    uint32_t* columnSums_ = nullptr;  // width_ values
    uint32_t* rowSums_ = nullptr;     // height_ values
    double* xProjection_ = nullptr;   // width_ values
    double* yProjection_ = nullptr;   // height_ values
    double xm_ = 0.0;
    double ym_ = 0.0;
    double xrms_ = 0.0;
    double yrms_ = 0.0;

  private:
    void Project();
};

// The spot position (peak of the Fourier-smoothed projection) and rms width (of the
// projection, about that peak, between the smoothed profile's minima either side) in both
// directions. The smoothed profiles are pool blocks held only while Compute runs; the sine
// and cosine tables of the smoothing are kept per thread for the last few geometries, so a
// stream of equal frames computes them once.
class SpotAnalyzer : public SpotProjection {
  public:
    // `iterations` is the number of peak searches; 0 counts as 1.
    SpotAnalyzer(const uint8_t* image, uint16_t harmonics, uint16_t iterations, uint32_t width,
                 uint32_t height);

    // Fills xm, ym, xrms and yrms; without projections or pool blocks they stay as they are.
    void Compute();

  private:
    // The smoothed profile in a pool block (empty when none can be had).
    CPoolBlock Smooth(const double* projection, uint32_t a, uint32_t b, uint32_t length) const;
    double FindPeak(const double* smooth, uint32_t lo, uint32_t hi) const;
    // Narrows [lo, hi] to the window it integrates over.
    double Width(const double* projection, const double* smooth, double c, uint32_t& lo,
                 uint32_t& hi) const;

    uint16_t harmonics_;
    uint16_t iterations_;
};
