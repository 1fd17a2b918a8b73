#include "tools/view/LosslessDecoder.h"

// The HuffYUV decoder of the compression library goes here.
bool DecodeLosslessFrame(const FrameMessage&, std::vector<uint8_t>&) {
    return false;
}

bool HaveLosslessDecoder() {
    return false;
}
