#include "frame/FastCopy.h"

#include <cstring>

void FastCopy(void* destination, const void* source, uint32_t length) {
    // memcpy is the fastest correct block copy on this platform; it needs no alignment.
    if (length != 0)
        std::memcpy(destination, source, length);
}
