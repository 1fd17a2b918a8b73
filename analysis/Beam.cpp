#include "analysis/Beam.h"

#include <algorithm>

std::string CheckRoi(const BeamRoi& roi) {
    if (roi.x < 0 || roi.y < 0 || roi.width < 0 || roi.height < 0)
        return "region values must not be negative";
    if ((roi.width == 0) != (roi.height == 0))
        return "region width and height must both be 0 (whole frame) or both positive";
    if (int64_t{roi.x} + roi.width > kMaxRoiExtent || int64_t{roi.y} + roi.height > kMaxRoiExtent)
        return "region reaches beyond " + std::to_string(kMaxRoiExtent) + " pixels";
    return "";
}

BeamRoi ClipRoi(const BeamRoi& roi, uint32_t frameWidth, uint32_t frameHeight) {
    const int64_t fw = std::min<int64_t>(frameWidth, kMaxRoiExtent);
    const int64_t fh = std::min<int64_t>(frameHeight, kMaxRoiExtent);
    if (roi.width <= 0 || roi.height <= 0) {
        if (fw == 0 || fh == 0)
            return {};
        return {0, 0, static_cast<int32_t>(fw), static_cast<int32_t>(fh)};
    }
    const int64_t x0 = std::clamp<int64_t>(roi.x, 0, fw);
    const int64_t y0 = std::clamp<int64_t>(roi.y, 0, fh);
    const int64_t x1 = std::clamp<int64_t>(int64_t{roi.x} + roi.width, 0, fw);
    const int64_t y1 = std::clamp<int64_t>(int64_t{roi.y} + roi.height, 0, fh);
    if (x1 <= x0 || y1 <= y0)
        return {static_cast<int32_t>(x0), static_cast<int32_t>(y0), 0, 0};
    return {static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(x1 - x0),
            static_cast<int32_t>(y1 - y0)};
}

const char* BackgroundName(BeamBackground background) {
    switch (background) {
        case BeamBackground::kDark:
            return "dark";
        case BeamBackground::kEstimated:
            return "estimated";
        case BeamBackground::kNone:
            break;
    }
    return "none";
}
