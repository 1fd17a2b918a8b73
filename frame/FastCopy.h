#pragma once

#include <cstdint>

// Copies `length` bytes between non-overlapping areas (frame-sized copies).
void FastCopy(void* destination, const void* source, uint32_t length);
