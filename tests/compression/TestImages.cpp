#include "TestImages.h"

#include <algorithm>
#include <cmath>
#include <random>

std::vector<uint8_t> MakeImage(ImageKind kind, uint32_t width, uint32_t height, uint32_t seed) {
    std::vector<uint8_t> image(size_t{width} * height, kind == ImageKind::kWhite ? 255 : 0);
    std::mt19937 rng(seed);
    if (kind == ImageKind::kNoise) {
        for (auto& p : image)
            p = static_cast<uint8_t>(rng());
    } else if (kind == ImageKind::kSpot) {
        std::normal_distribution<double> noise(0.0, 2.0);
        const double cx = width * 0.4, cy = height * 0.55;
        const double sigma = std::max(1.0, std::min(width, height) / 12.0);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                const double dx = x - cx, dy = y - cy;
                const double v =
                    12 + 230 * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma)) + noise(rng);
                image[size_t{y} * width + x] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
            }
    }
    return image;
}
