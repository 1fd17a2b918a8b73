#pragma once

#include "frame/PoolBlock.h"
#include "frame/SyncPtrList.h"

// The Capture queue: frame records (FrameHeader + gray pixels, each its own pool block) on
// their way from the streaming thread to the main thread.
using CCaptureQueue = CSyncList<CPoolBlock>;

// Once more records than this wait, both ends of the Capture queue cut it back to the
// newest: a slow main thread costs old frames, never memory or latency.
constexpr int kCaptureQueueLimit = 5;

// Removes all but the newest record when more than kCaptureQueueLimit wait. Returns how
// many it dropped.
inline int TrimCaptureQueue(CCaptureQueue& queue) {
    const int waiting = queue.GetCount();
    if (waiting <= kCaptureQueueLimit)
        return 0;
    int dropped = 0;
    for (int i = 0; i < waiting - 1; ++i)
        dropped += queue.RemoveHead() ? 1 : 0;
    return dropped;
}
