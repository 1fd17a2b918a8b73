#pragma once

#include <cstddef>

#include "analysis/Beam.h"

// Fits a·exp(−(x−centre)²/(2σ²)) + offset by nonlinear least squares to `values`, sampled at
// x = origin + i, starting from `seed` (its amplitude, centre, sigma and offset). Any thread.
GaussianFit FitGaussianProfile(const float* values, size_t count, double origin,
                               const GaussianFit& seed);
