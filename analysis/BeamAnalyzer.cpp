#include <algorithm>
#include <cmath>
#include <numbers>

#include "analysis/Beam.h"
#include "analysis/BeamKernels.h"
#include "analysis/ProfileFit.h"

namespace {

// The integration area is this many beam diameters (D4σ) wide, about the centroid.
constexpr double kAreaDiameters = 3.0;
// An edge of the area moves only when the moments ask for more than this fraction of its
// half-width (and at least a pixel): noise then cannot keep the area oscillating.
constexpr double kAreaDeadBand = 0.05;
constexpr double kNoiseBand = 2.0;
// After this many steps the area moves half-way only, so a remaining swing dies out.
constexpr int kUndampedSteps = 4;
constexpr int kMaxSteps = 24;
// Fewer pixels than this outside the area: the baseline of the first estimate stays.
constexpr int64_t kMinOutside = 256;
// A beam's total, or light on the region's edge line, must stand this many standard
// deviations of the noise above the baseline to count.
constexpr double kSignificance = 8.0;
constexpr double kEdgeSignificance = 5.0;
// The rms of rounding to whole gray levels: the noise of a noiseless camera.
constexpr double kQuantisationNoise = 0.29;
// Half-width of the core band, in σ: where a Gaussian fit to a band's projection locates the
// centre best (the band's signal grows as erf, its noise as the square root of its width).
constexpr double kCoreBand = 1.4;

// The baseline of a projection, per pixel summed: its median, which is beam-free wherever
// the beam covers less than half of the region; the moments refine it from outside the area.
double ProfileFloor(const std::vector<double>& profile, size_t count, double pixels) {
    std::vector<double> copy(profile.begin(), profile.begin() + static_cast<ptrdiff_t>(count));
    const auto mid = copy.begin() + static_cast<ptrdiff_t>(count / 2);
    std::nth_element(copy.begin(), mid, copy.end());
    return *mid / pixels;
}

// First guess of the beam along one projection: the smoothed maximum and the span where the
// profile stays above 1/e² of it (a D4σ for a Gaussian). Returns [lo, hi) of the area.
void GuessSpan(const std::vector<double>& profile, size_t count, double floor, int32_t* lo,
               int32_t* hi) {
    std::vector<double> smooth(count);
    constexpr int kBox = 2;
    for (size_t i = 0; i < count; ++i) {
        double s = 0;
        int n = 0;
        for (int d = -kBox; d <= kBox; ++d) {
            const auto k = static_cast<ptrdiff_t>(i) + d;
            if (k >= 0 && k < static_cast<ptrdiff_t>(count)) {
                s += profile[static_cast<size_t>(k)] - floor;
                ++n;
            }
        }
        smooth[i] = s / n;
    }
    const size_t peak =
        static_cast<size_t>(std::max_element(smooth.begin(), smooth.end()) - smooth.begin());
    const double level = smooth[peak] * 0.135;
    size_t l = peak, r = peak;
    while (l > 0 && smooth[l - 1] > level)
        --l;
    while (r + 1 < count && smooth[r + 1] > level)
        ++r;
    const double half = std::max(kAreaDiameters * static_cast<double>(r - l + 1) / 2, 4.0);
    *lo = static_cast<int32_t>(std::max(0.0, std::floor(static_cast<double>(peak) - half)));
    *hi = static_cast<int32_t>(
        std::min(static_cast<double>(count), std::ceil(static_cast<double>(peak) + half + 1)));
}

double SumRange(int64_t n) {
    return static_cast<double>(n) * static_cast<double>(n - 1) / 2;
}
double SumSquares(int64_t n) {
    return static_cast<double>(n - 1) * static_cast<double>(n) * static_cast<double>(2 * n - 1) / 6;
}

}  // namespace

struct CBeamAnalyzer::Pass {
    double sumSq = 0;  // Σ v² over the rectangle
};

// Moments of one projected area, relative to its top-left pixel, baseline subtracted.
struct CBeamAnalyzer::Moments {
    bool ok = false;
    double m0 = 0, x = 0, y = 0, xx = 0, yy = 0, xy = 0;
};

void CBeamAnalyzer::Project(int32_t x, int32_t y, int32_t width, int32_t height, Pass* pass) {
    const auto w = static_cast<uint32_t>(width);
    const auto h = static_cast<uint32_t>(height);
    colAcc_.resize(w);
    col_.resize(w);
    row_.resize(h);
    rowX_.resize(h);
    if (useDark_) {
        const size_t stride = rawStride_;  // the work image is the region's width
        ProjectRegion(work_.data() + static_cast<size_t>(y) * stride + x, stride, w, h,
                      colAcc_.data(), row_.data(), rowX_.data(), &pass->sumSq);
        constexpr double k = 1.0 / kDarkScale;
        for (uint32_t i = 0; i < w; ++i)
            col_[i] = colAcc_[i] * k;
        for (uint32_t j = 0; j < h; ++j) {
            row_[j] *= k;
            rowX_[j] *= k;
        }
        pass->sumSq *= k * k;
    } else {
        ProjectRegion(raw_ + static_cast<size_t>(y) * rawStride_ + x, rawStride_, w, h,
                      colAcc_.data(), row_.data(), rowX_.data(), &pass->sumSq);
        for (uint32_t i = 0; i < w; ++i)
            col_[i] = colAcc_[i];
    }
}

void CBeamAnalyzer::Measure(const uint8_t* pixels, uint32_t width, uint32_t height,
                            const BeamRoi& roi, const DarkFrame* dark, BeamResult* result) {
    const uint64_t frameNumber = result->frame;
    *result = BeamResult{};
    result->frame = frameNumber;
    const BeamRoi r = ClipRoi(roi, width, height);
    result->roi = r;
    if (r.width == 0 || pixels == nullptr)
        return;
    const auto rw = static_cast<size_t>(r.width);
    const auto rh = static_cast<size_t>(r.height);
    const uint8_t* base = pixels + static_cast<size_t>(r.y) * width + r.x;

    // Peak and saturation on the raw pixels.
    uint8_t peak = 0;
    uint32_t saturated = 0;
    int32_t peakRow = 0;
    for (size_t j = 0; j < rh; ++j) {
        uint32_t s = 0;
        const uint8_t m = RowPeak(base + j * width, rw, &s);
        saturated += s;
        if (m > peak || j == 0) {
            peak = m;
            peakRow = static_cast<int32_t>(j);
        }
    }
    const uint8_t* pr = base + static_cast<size_t>(peakRow) * width;
    result->peakValue = peak;
    result->peakX = r.x + static_cast<int32_t>(std::find(pr, pr + rw, peak) - pr);
    result->peakY = r.y + peakRow;
    result->saturated = saturated;

    // With a dark frame the work image is the difference, in integer eighths.
    double darkMean = 0;
    useDark_ = dark != nullptr && dark->frames > 0 && dark->width == width &&
               dark->height == height && dark->mean.size() == size_t{width} * height;
    raw_ = base;
    rawStride_ = width;
    if (useDark_) {
        work_.resize(rw * rh);
        int64_t darkSum = 0;
        for (size_t j = 0; j < rh; ++j) {
            const float* d = dark->mean.data() + (static_cast<size_t>(r.y) + j) * width + r.x;
            darkSum += SubtractDark(base + j * width, d, work_.data() + j * rw, rw);
        }
        darkMean = static_cast<double>(darkSum) / kDarkScale / static_cast<double>(rw * rh);
        rawStride_ = rw;
    }
    result->background = useDark_ ? BeamBackground::kDark : BeamBackground::kEstimated;

    // The whole region: its totals for the baseline outside the area, and the first guess.
    Pass region;
    Project(0, 0, r.width, r.height, &region);
    double regionSum = 0;
    for (size_t j = 0; j < rh; ++j)
        regionSum += row_[j];
    const auto regionPixels = static_cast<int64_t>(rw * rh);
    const double floor0 = std::min(ProfileFloor(col_, rw, static_cast<double>(rh)),
                                   ProfileFloor(row_, rh, static_cast<double>(rw)));
    int32_t ax0, ax1, ay0, ay1;  // the area, [x0, x1) × [y0, y1) relative to the region
    GuessSpan(col_, rw, floor0 * static_cast<double>(rh), &ax0, &ax1);
    GuessSpan(row_, rh, floor0 * static_cast<double>(rw), &ay0, &ay1);
    // The noise from neighbour differences along the region's border rows: the beam's
    // slope there is small against it, and it needs no beam-free area.
    double diffNoise = 0;
    {
        double sq = 0;
        int64_t n = 0;
        for (size_t j : {size_t{0}, rh - 1}) {
            for (size_t i = 1; i < rw; ++i) {
                double d;
                if (useDark_)
                    d = (work_[j * rw + i] - work_[j * rw + i - 1]) / double{kDarkScale};
                else
                    d = static_cast<double>(base[j * width + i]) - base[j * width + i - 1];
                sq += d * d;
                ++n;
            }
        }
        diffNoise = n > 0 ? std::sqrt(sq / static_cast<double>(n) / 2) : 0;
    }

    Moments m;
    double baseline = floor0, noise = diffNoise;
    bool converged = false;
    int steps = 0;
    Pass area;
    while (steps < kMaxSteps) {
        ++steps;
        const int32_t aw = ax1 - ax0, ah = ay1 - ay0;
        Project(ax0, ay0, aw, ah, &area);
        double s = 0, sy = 0, syy = 0, sx = 0, sxy = 0, sxx = 0;
        for (int32_t j = 0; j < ah; ++j) {
            s += row_[j];
            sy += j * row_[j];
            syy += double(j) * j * row_[j];
            sx += rowX_[j];
            sxy += j * rowX_[j];
        }
        for (int32_t i = 0; i < aw; ++i)
            sxx += double(i) * i * col_[i];
        const int64_t n = int64_t{aw} * ah;
        const int64_t outside = regionPixels - n;
        if (outside >= kMinOutside) {
            baseline = (regionSum - s) / static_cast<double>(outside);
            noise =
                std::sqrt(std::max(0.0, (region.sumSq - area.sumSq) / static_cast<double>(outside) -
                                            baseline * baseline));
        }
        m.m0 = s - baseline * static_cast<double>(n);
        if (!(m.m0 > 0)) {
            m.ok = false;
            break;
        }
        const double mx = (sx - baseline * SumRange(aw) * ah) / m.m0;
        const double my = (sy - baseline * SumRange(ah) * aw) / m.m0;
        m.x = mx;
        m.y = my;
        m.xx = (sxx - baseline * SumSquares(aw) * ah) / m.m0 - mx * mx;
        m.yy = (syy - baseline * SumSquares(ah) * aw) / m.m0 - my * my;
        m.xy = (sxy - baseline * SumRange(aw) * SumRange(ah)) / m.m0 - mx * my;
        m.ok = m.xx > 0 && m.yy > 0 && std::isfinite(m.xx) && std::isfinite(m.yy);
        auto edge = [](double v, int32_t hi) {
            return static_cast<int32_t>(std::clamp(std::round(v), 0.0, double(hi)));
        };
        if (!m.ok) {
            // The noise outweighed the beam's spread over this area: halve it about the
            // centroid (kept inside it) and measure again.
            if (!std::isfinite(mx) || !std::isfinite(my) || aw < 6 || ah < 6)
                break;
            const double cx = ax0 + std::clamp(mx, 0.0, aw - 1.0);
            const double cy = ay0 + std::clamp(my, 0.0, ah - 1.0);
            ax0 = edge(cx - aw / 4.0, r.width);
            ax1 = std::max(ax0 + 1, edge(cx + aw / 4.0 + 1, r.width));
            ay0 = edge(cy - ah / 4.0, r.height);
            ay1 = std::max(ay0 + 1, edge(cy + ah / 4.0 + 1, r.height));
            continue;
        }

        // The area the moments ask for, and whether it is the one just used.
        const double cx = ax0 + mx, cy = ay0 + my;
        const double hx = std::max(kAreaDiameters * 2 * std::sqrt(m.xx), 2.0);
        const double hy = std::max(kAreaDiameters * 2 * std::sqrt(m.yy), 2.0);
        int32_t nx0 = edge(cx - hx, r.width), nx1 = edge(cx + hx + 1, r.width);
        int32_t ny0 = edge(cy - hy, r.height), ny1 = edge(cy + hy + 1, r.height);
        if (nx1 <= nx0 || ny1 <= ny0)
            break;
        // The dead band also spans what the noise alone makes σ² swing by (twice its
        // standard deviation), so noise cannot walk the area away.
        double qx = 0, qy = 0;
        for (int32_t i = 0; i < aw; ++i)
            qx += (i - mx) * (i - mx) * (i - mx) * (i - mx);
        for (int32_t j = 0; j < ah; ++j)
            qy += (j - my) * (j - my) * (j - my) * (j - my);
        const double swingX = kNoiseBand * noise * std::sqrt(qx * ah) / m.m0 / m.xx;
        const double swingY = kNoiseBand * noise * std::sqrt(qy * aw) / m.m0 / m.yy;
        const double tx = std::max({1.0, kAreaDeadBand * hx, swingX * hx / 2});
        const double ty = std::max({1.0, kAreaDeadBand * hy, swingY * hy / 2});
        if (std::abs(nx0 - ax0) <= tx && std::abs(nx1 - ax1) <= tx && std::abs(ny0 - ay0) <= ty &&
            std::abs(ny1 - ay1) <= ty) {
            converged = true;
            break;
        }
        if (steps > kUndampedSteps) {
            auto half = [](int32_t a, int32_t b) { return (a + b + (a < b ? 1 : 0)) / 2; };
            nx0 = half(ax0, nx0);
            nx1 = half(ax1, nx1);
            ny0 = half(ay0, ny0);
            ny1 = half(ay1, ny1);
        }
        ax0 = nx0;
        ax1 = nx1;
        ay0 = ny0;
        ay1 = ny1;
    }

    const int32_t aw = ax1 - ax0, ah = ay1 - ay0;
    result->iterations = steps;
    result->converged = converged;
    result->baseline = baseline + darkMean;
    result->noise = noise;
    result->area = {r.x + ax0, r.y + ay0, aw, ah};
    const double noiseFloor = std::max(noise, kQuantisationNoise);
    if (!m.ok ||
        m.m0 < kSignificance * noiseFloor * std::sqrt(static_cast<double>(int64_t{aw} * ah))) {
        result->reason = kBeamNone;
        return;
    }
    result->total = m.m0;
    result->centroidX = r.x + ax0 + m.x;
    result->centroidY = r.y + ay0 + m.y;
    result->sigmaX = std::sqrt(m.xx);
    result->sigmaY = std::sqrt(m.yy);
    result->sigmaXY = m.xy;
    const double mean = (m.xx + m.yy) / 2;
    const double spread = std::hypot((m.xx - m.yy) / 2, m.xy);
    result->widthMajor = 4 * std::sqrt(mean + spread);
    result->widthMinor = 4 * std::sqrt(std::max(0.0, mean - spread));
    result->ellipticity = result->widthMinor / result->widthMajor;
    double angle = 0.5 * std::atan2(2 * m.xy, m.xx - m.yy) * 180 / std::numbers::pi;
    if (angle <= -90)
        angle += 180;
    result->angle = angle;

    result->profileX.resize(static_cast<size_t>(aw));
    result->profileY.resize(static_cast<size_t>(ah));
    for (int32_t i = 0; i < aw; ++i)
        result->profileX[i] = static_cast<float>(col_[i] - baseline * ah);
    for (int32_t j = 0; j < ah; ++j)
        result->profileY[j] = static_cast<float>(row_[j] - baseline * aw);

    // Light on an edge line of the region that the area reaches: the beam goes on beyond it.
    auto lit = [&](double line, int32_t length) {
        return line > kEdgeSignificance * noiseFloor * std::sqrt(static_cast<double>(length));
    };
    const bool atEdge = (ax0 == 0 && lit(result->profileX.front(), ah)) ||
                        (ax1 == r.width && lit(result->profileX.back(), ah)) ||
                        (ay0 == 0 && lit(result->profileY.front(), aw)) ||
                        (ay1 == r.height && lit(result->profileY.back(), aw));
    bool saturatedBeam = false;
    for (int32_t j = ay0; saturated > 0 && j < ay1 && !saturatedBeam; ++j) {
        const uint8_t* p = base + static_cast<size_t>(j) * width + ax0;
        saturatedBeam = std::find(p, p + aw, uint8_t{255}) != p + aw;
    }
    result->reason = atEdge ? kBeamAtEdge : saturatedBeam ? kBeamSaturated : kBeamOk;
    result->valid = result->reason == kBeamOk;

    const double root2pi = std::sqrt(2 * std::numbers::pi);
    GaussianFit seedX{
        false, m.m0 / (root2pi * result->sigmaX), result->centroidX, result->sigmaX, 0, 0};
    GaussianFit seedY{
        false, m.m0 / (root2pi * result->sigmaY), result->centroidY, result->sigmaY, 0, 0};
    result->fitX =
        FitGaussianProfile(result->profileX.data(), result->profileX.size(), r.x + ax0, seedX);
    result->fitY =
        FitGaussianProfile(result->profileY.data(), result->profileY.size(), r.y + ay0, seedY);

    // The core: a band 1.4 σ either side of the centroid across the projection, which keeps
    // 84 % of the beam and a quarter of the area's noise.
    auto band = [](double centre, double sigma, int32_t lo, int32_t hi, int32_t* b0, int32_t* b1) {
        *b0 = static_cast<int32_t>(
            std::clamp(std::round(centre - kCoreBand * sigma), double(lo), double(hi - 1)));
        *b1 = static_cast<int32_t>(
            std::clamp(std::round(centre + kCoreBand * sigma) + 1, double(*b0 + 1), double(hi)));
    };
    const double core = std::erf(kCoreBand / std::numbers::sqrt2);
    int32_t b0, b1;
    Pass pass;
    // Placed on the area fits' centres, which scatter less than the centroid: for a tilted
    // beam a band off centre shifts the projection across it.
    const double bandY = result->fitY.ok ? result->fitY.centre - r.y : ay0 + m.y;
    const double bandX = result->fitX.ok ? result->fitX.centre - r.x : ax0 + m.x;
    band(bandY, result->sigmaY, ay0, ay1, &b0, &b1);
    Project(ax0, b0, aw, b1 - b0, &pass);
    core_.resize(static_cast<size_t>(aw));
    for (int32_t i = 0; i < aw; ++i)
        core_[i] = static_cast<float>(col_[i] - baseline * (b1 - b0));
    seedX.amplitude *= core;
    result->coreFitX = FitGaussianProfile(core_.data(), core_.size(), r.x + ax0, seedX);
    band(bandX, result->sigmaX, ax0, ax1, &b0, &b1);
    Project(b0, ay0, b1 - b0, ah, &pass);
    core_.resize(static_cast<size_t>(ah));
    for (int32_t j = 0; j < ah; ++j)
        core_[j] = static_cast<float>(row_[j] - baseline * (b1 - b0));
    seedY.amplitude *= core;
    result->coreFitY = FitGaussianProfile(core_.data(), core_.size(), r.y + ay0, seedY);
}
