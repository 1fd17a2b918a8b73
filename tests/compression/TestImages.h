#pragma once

#include <cstdint>
#include <vector>

// Gray test frames, width × height bytes, rows top first.
enum class ImageKind { kNoise, kSpot, kBlack, kWhite };

// A Gaussian spot on a dark background with mild noise, as cameras deliver them; the
// other kinds are uniform noise and constant frames. Deterministic for a given seed.
std::vector<uint8_t> MakeImage(ImageKind kind, uint32_t width, uint32_t height, uint32_t seed = 1);
