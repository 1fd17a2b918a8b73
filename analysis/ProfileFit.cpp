#include "analysis/ProfileFit.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Data {
    const float* values;
    size_t count;
    double origin;
    double step;  // pixels per sample
};

constexpr size_t kMaxFitSamples = 96;
constexpr size_t kMaxFitIterations = 50;

// Parameters: amplitude, centre, σ, offset.
int Residuals(const gsl_vector* p, void* context, gsl_vector* f) {
    const Data& d = *static_cast<const Data*>(context);
    const double a = gsl_vector_get(p, 0);
    const double c = gsl_vector_get(p, 1);
    const double s = gsl_vector_get(p, 2);
    const double o = gsl_vector_get(p, 3);
    const double k = -0.5 / (s * s);
    for (size_t i = 0; i < d.count; ++i) {
        const double u = d.origin + d.step * static_cast<double>(i) - c;
        gsl_vector_set(f, i, a * std::exp(k * u * u) + o - d.values[i]);
    }
    return GSL_SUCCESS;
}

int Jacobian(const gsl_vector* p, void* context, gsl_matrix* j) {
    const Data& d = *static_cast<const Data*>(context);
    const double a = gsl_vector_get(p, 0);
    const double c = gsl_vector_get(p, 1);
    const double s = gsl_vector_get(p, 2);
    const double k = -0.5 / (s * s);
    for (size_t i = 0; i < d.count; ++i) {
        const double u = d.origin + d.step * static_cast<double>(i) - c;
        const double e = std::exp(k * u * u);
        gsl_matrix_set(j, i, 0, e);
        gsl_matrix_set(j, i, 1, a * e * u / (s * s));
        gsl_matrix_set(j, i, 2, a * e * u * u / (s * s * s));
        gsl_matrix_set(j, i, 3, 1.0);
    }
    return GSL_SUCCESS;
}

struct WorkspaceFree {
    void operator()(gsl_multifit_nlinear_workspace* w) const { gsl_multifit_nlinear_free(w); }
};

}  // namespace

GaussianFit FitGaussianProfile(const float* values, size_t count, double origin,
                               const GaussianFit& seed) {
    GaussianFit fit;
    if (count < 5 || !(seed.sigma > 0) || !std::isfinite(seed.centre) ||
        !std::isfinite(seed.amplitude))
        return fit;
    // A long profile is fitted in bins: the cost stays bounded, the centre is unchanged and
    // a bin of k samples widens a Gaussian by (k² − 1)/12 in σ², taken off again below.
    const size_t k = (count + kMaxFitSamples - 1) / kMaxFitSamples;
    std::vector<float> binned;
    if (k > 1) {
        binned.resize(count / k);
        for (size_t b = 0; b < binned.size(); ++b) {
            float sum = 0;
            for (size_t i = 0; i < k; ++i)
                sum += values[b * k + i];
            binned[b] = sum / static_cast<float>(k);
        }
        values = binned.data();
        count = binned.size();
    }
    const double step = static_cast<double>(k);
    const double binWidening = (step * step - 1) / 12;
    origin += (step - 1) / 2;
    // GSL's default handler aborts; errors are its return values here.
    static std::once_flag once;
    std::call_once(once, [] { gsl_set_error_handler_off(); });

    Data data{values, count, origin, step};
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = Residuals;
    fdf.df = Jacobian;
    fdf.n = count;
    fdf.p = 4;
    fdf.params = &data;
    gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
    // Four parameters: the normal equations are well enough conditioned, and cheaper than QR.
    params.solver = gsl_multifit_nlinear_solver_cholesky;
    std::unique_ptr<gsl_multifit_nlinear_workspace, WorkspaceFree> w(
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, count, 4));
    if (!w)
        return fit;
    double start[4] = {seed.amplitude, seed.centre,
                       std::sqrt(seed.sigma * seed.sigma + binWidening), seed.offset};
    gsl_vector_view x0 = gsl_vector_view_array(start, 4);
    if (gsl_multifit_nlinear_init(&x0.vector, &fdf, w.get()) != GSL_SUCCESS)
        return fit;
    int info = 0;
    const int status = gsl_multifit_nlinear_driver(kMaxFitIterations, 1e-6, 1e-8, 1e-8, nullptr,
                                                   nullptr, &info, w.get());
    const gsl_vector* p = gsl_multifit_nlinear_position(w.get());
    fit.amplitude = gsl_vector_get(p, 0);
    fit.centre = gsl_vector_get(p, 1);
    const double s = gsl_vector_get(p, 2);
    fit.sigma = std::sqrt(std::max(0.0, s * s - binWidening));
    fit.offset = gsl_vector_get(p, 3);
    if (fit.sigma > 0)
        fit.amplitude *= std::fabs(s) / fit.sigma;  // the same area, unwidened

    double mean = 0;
    for (size_t i = 0; i < count; ++i)
        mean += values[i];
    mean /= static_cast<double>(count);
    double total = 0;
    for (size_t i = 0; i < count; ++i)
        total += (values[i] - mean) * (values[i] - mean);
    double chi = 0;
    gsl_blas_ddot(gsl_multifit_nlinear_residual(w.get()), gsl_multifit_nlinear_residual(w.get()),
                  &chi);
    fit.r2 = total > 0 ? 1.0 - chi / total : 0.0;
    fit.ok = status == GSL_SUCCESS && std::isfinite(fit.centre) && std::isfinite(fit.amplitude) &&
             fit.sigma > 0 && std::isfinite(fit.sigma);
    return fit;
}
