#include "analysis/Stability.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <mutex>
#include <numbers>

namespace {

constexpr double kPi = std::numbers::pi;
// Bins from a line's peak to the first zero of the HFT95 window's main lobe.
constexpr uint32_t kLobeBins = 5;
// A step whose capture times exceed the frame-number step by this many periods holds frames
// that were never numbered (dropped before the server saw them).
constexpr double kUnnumberedGap = 0.7;

// FFTW's planner is not thread-safe (execution is); every CStability shares it.
std::mutex& PlannerMutex() {
    static std::mutex planner;  // guards every fftw_plan_* and fftw_destroy_plan call
    return planner;
}

// HFT95 (Heinzel, Rüdiger and Schilling 2002), periodic over n points.
void FlatTop(std::vector<double>& w, uint32_t n) {
    static constexpr double c[] = {1.0, -1.9383379, 1.3045202, -0.4028270, 0.0350665};
    w.resize(n);
    for (uint32_t j = 0; j < n; ++j) {
        const double z = 2 * kPi * j / n;
        double v = 0;
        for (int k = 0; k < 5; ++k)
            v += c[k] * std::cos(k * z);
        w[j] = v;
    }
}

struct Moments {
    double mean = 0, var = 0;  // the variance with n − 1
};

template <class Get>
Moments Of(const std::vector<StabilitySample>& s, Get get) {
    Moments m;
    for (const auto& v : s)
        m.mean += get(v);
    m.mean /= double(s.size());
    for (const auto& v : s)
        m.var += (get(v) - m.mean) * (get(v) - m.mean);
    m.var = s.size() > 1 ? m.var / double(s.size() - 1) : 0;
    return m;
}

}  // namespace

struct CStability::Work {
    uint32_t n = 0;  // the planned length
    double* in = nullptr;
    fftw_complex* out = nullptr;
    fftw_plan plan = nullptr;
    std::vector<double> window;
    std::vector<double> steps;    // grid steps between consecutive samples of the window
    std::vector<double> periods;  // scratch for the median
    std::vector<double> gain;     // per bin: the interpolation's loss undone

    ~Work() { Release(); }
    void Release() {
        std::lock_guard lock(PlannerMutex());
        if (plan)
            fftw_destroy_plan(plan);
        fftw_free(in);
        fftw_free(out);
        plan = nullptr;
        in = nullptr;
        out = nullptr;
        n = 0;
    }
    bool Plan(uint32_t size) {
        if (size == n && plan)
            return true;
        Release();
        std::lock_guard lock(PlannerMutex());
        in = fftw_alloc_real(size);
        out = fftw_alloc_complex(size / 2 + 1);
        if (in && out)
            plan = fftw_plan_dft_r2c_1d(int(size), in, out, FFTW_ESTIMATE);
        if (!plan)
            return false;
        n = size;
        FlatTop(window, size);
        return true;
    }
};

CStability::CStability(uint32_t frames) : work_(std::make_unique<Work>()) {
    SetCapacity(frames);
}

CStability::~CStability() = default;

void CStability::SetCapacity(uint32_t frames) {
    ring_.assign(std::clamp(frames, kMinFrames, kMaxFrames), StabilitySample{});
    head_ = 0;
    count_ = 0;
}

void CStability::Add(const BeamResult& beam, double time) {
    if (!beam.valid)
        return;
    Add(StabilitySample{beam.frame, time, beam.centroidX, beam.centroidY, beam.widthMajor,
                        beam.widthMinor, beam.total});
}

void CStability::Add(const StabilitySample& sample) {
    if (count_ > 0) {
        const uint64_t newest = ring_[(head_ + ring_.size() - 1) % ring_.size()].frame;
        if (sample.frame == newest)
            return;
        if (sample.frame < newest)
            count_ = 0;
    }
    ring_[head_] = sample;
    head_ = (head_ + 1) % uint32_t(ring_.size());
    count_ = std::min<uint32_t>(count_ + 1, uint32_t(ring_.size()));
}

void CStability::Compute(StabilityResult* result) {
    *result = StabilityResult{};
    const uint32_t size = uint32_t(ring_.size());
    ordered_.resize(count_);
    for (uint32_t i = 0; i < count_; ++i)
        ordered_[i] = ring_[(head_ + size - count_ + i) % size];
    result->frames = count_;
    if (count_ < 2)
        return;
    result->seconds = ordered_.back().time - ordered_.front().time;
    Statistics(result);
    Spectrum(result);
}

void CStability::Statistics(StabilityResult* r) const {
    const auto& s = ordered_;
    const Moments x = Of(s, [](const auto& v) { return v.x; });
    const Moments y = Of(s, [](const auto& v) { return v.y; });
    double xy = 0;
    for (const auto& v : s)
        xy += (v.x - x.mean) * (v.y - y.mean);
    xy /= double(s.size() - 1);
    r->mean.x = x.mean;
    r->mean.y = y.mean;
    // The axis nearer +x: ½·atan of the ratio, not atan2, keeps it within ±45°.
    double phi = 0;
    if (x.var != y.var)
        phi = 0.5 * std::atan(2 * xy / (x.var - y.var));
    else if (xy != 0)
        phi = std::copysign(kPi / 4, xy);
    if (phi <= -kPi / 4 + 1e-12)
        phi = kPi / 4;
    const double c = std::cos(phi), sn = std::sin(phi);
    const double vx = x.var * c * c + 2 * xy * sn * c + y.var * sn * sn;
    const double vy = x.var * sn * sn - 2 * xy * sn * c + y.var * c * c;
    r->std.x = std::sqrt(std::max(0.0, vx));
    r->std.y = std::sqrt(std::max(0.0, vy));
    r->delta.x = 4 * r->std.x;
    r->delta.y = 4 * r->std.y;
    r->delta.azimuth = phi * 180 / kPi;
    r->widthStd.major = std::sqrt(Of(s, [](const auto& v) { return v.major; }).var);
    r->widthStd.minor = std::sqrt(Of(s, [](const auto& v) { return v.minor; }).var);
    const Moments t = Of(s, [](const auto& v) { return v.total; });
    r->intensityRsd = t.mean != 0 ? std::sqrt(t.var) / std::abs(t.mean) : 0;
}

void CStability::Spectrum(StabilityResult* r) {
    const auto& s = ordered_;
    Work& w = *work_;
    const size_t n = s.size();
    // The nominal period: the median capture-time step per frame number, which the odd
    // late frame or gap does not move.
    w.periods.clear();
    for (size_t i = 1; i < n; ++i)
        w.periods.push_back((s[i].time - s[i - 1].time) / double(s[i].frame - s[i - 1].frame));
    std::nth_element(w.periods.begin(), w.periods.begin() + w.periods.size() / 2, w.periods.end());
    const double period = w.periods[w.periods.size() / 2];
    if (!(period > 0) || !std::isfinite(period))
        return;  // without times there are no frequencies
    w.steps.assign(n, 0);
    double grid = 0;
    for (size_t i = 1; i < n; ++i) {
        const double numbered = double(s[i].frame - s[i - 1].frame);
        const double timed = (s[i].time - s[i - 1].time) / period;
        w.steps[i] = timed > numbered + kUnnumberedGap ? std::round(timed) : numbered;
        grid += w.steps[i];
    }
    if (!(r->seconds > 0))
        return;
    r->rateHz = grid / r->seconds;

    // The newest run without a gap too long to bridge, at most a window long.
    size_t first = n - 1;
    double length = 1;
    while (first > 0 && w.steps[first] <= kMaxBridged + 1 &&
           length + w.steps[first] <= double(ring_.size())) {
        length += w.steps[first];
        --first;
    }
    const uint32_t m = uint32_t(length);
    if (m < kMinFrames || !w.Plan(m))
        return;

    // Where the gaps lie decides what interpolation takes from each frequency: a frame
    // bridged from neighbours a before and b after holds (b·e^(−iωa) + a·e^(iωb))/(a + b) of
    // a line at ω. Summed over the window by distance, so the per-bin cost is 2·kMaxBridged.
    double present = 0, total = 0;
    double before[kMaxBridged + 2] = {}, after[kMaxBridged + 2] = {};
    uint32_t bridged = 0;
    {
        uint32_t g = 0;
        for (size_t i = first; i < n; ++i) {
            if (i > first) {
                const uint32_t step = uint32_t(w.steps[i]);
                for (uint32_t a = 1; a < step; ++a) {
                    const double weight = w.window[g + a], b = step - a;
                    before[a] += weight * b / step;
                    after[uint32_t(b)] += weight * a / step;
                    total += weight;
                    ++bridged;
                }
                g += step;
            }
            present += w.window[g];
            total += w.window[g];
        }
    }
    const uint32_t bins = m / 2 + 1;
    w.gain.assign(bins, 1.0);
    if (bridged > 0) {
        for (uint32_t k = 0; k < bins; ++k) {
            const std::complex<double> z = std::polar(1.0, 2 * kPi * k / m);
            std::complex<double> sum = present, zd = 1;
            for (uint32_t d = 1; d <= kMaxBridged; ++d) {
                zd *= z;
                sum += before[d] * std::conj(zd) + after[d] * zd;
            }
            // Where little of a line is left, undoing the loss would mostly raise the noise.
            w.gain[k] = std::max(0.5, std::abs(sum) / total);
        }
    }
    r->spectrum.frames = m;
    r->spectrum.bridged = bridged;
    r->spectrum.f.resize(bins);
    for (uint32_t k = 0; k < bins; ++k)
        r->spectrum.f[k] = r->rateHz * k / m;

    for (int axis = 0; axis < 2; ++axis) {
        const auto value = [axis](const StabilitySample& v) { return axis == 0 ? v.x : v.y; };
        uint32_t g = 0;
        for (size_t i = first; i < n; ++i) {
            if (i > first) {
                const uint32_t step = uint32_t(w.steps[i]);
                const double v0 = value(s[i - 1]), v1 = value(s[i]);
                for (uint32_t a = 1; a < step; ++a)
                    w.in[g + a] = v0 + (v1 - v0) * a / step;
                g += step;
            }
            w.in[g] = value(s[i]);
        }
        double mean = 0;
        for (uint32_t j = 0; j < m; ++j)
            mean += w.in[j];
        mean /= m;
        for (uint32_t j = 0; j < m; ++j)
            w.in[j] = (w.in[j] - mean) * w.window[j];
        fftw_execute(w.plan);
        std::vector<double>& amp = axis == 0 ? r->spectrum.x : r->spectrum.y;
        amp.resize(bins);
        for (uint32_t k = 0; k < bins; ++k) {
            const bool single = k == 0 || (m % 2 == 0 && k == m / 2);
            amp[k] =
                (single ? 1.0 : 2.0) * std::hypot(w.out[k][0], w.out[k][1]) / total / w.gain[k];
        }
        // Local maxima over the main lobe's reach, outside the lobe of the mean.
        std::vector<std::pair<double, uint32_t>> lines;
        const uint32_t reach = kLobeBins - 1;
        for (uint32_t k = kLobeBins; k < bins; ++k) {
            bool top = true;
            for (uint32_t j = k - reach; j < k + reach + 1 && j < bins && top; ++j)
                top = j < k ? amp[j] < amp[k] : amp[j] <= amp[k];
            if (top)
                lines.emplace_back(amp[k], k);
        }
        const size_t keep = std::min<size_t>(kPeaksPerAxis, lines.size());
        std::partial_sort(lines.begin(), lines.begin() + keep, lines.end(),
                          [](const auto& p, const auto& q) { return p.first > q.first; });
        for (size_t i = 0; i < keep; ++i)
            r->peaks.push_back(
                {axis == 0 ? 'x' : 'y', r->spectrum.f[lines[i].second], lines[i].first});
    }
}
