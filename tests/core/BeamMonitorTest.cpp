// The beam monitor's thread against its owner: frames handed over while it works, the dark
// frame captured, stored, loaded by the next start, dropped at a new frame size.
#include "analysis/BeamMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& pred) {
    for (int i = 0; i < 1000 && !pred(); ++i)
        std::this_thread::sleep_for(10ms);
    return pred();
}

TEST(BeamMonitor, MeasuresTheNewestFrameAndKeepsTheDarkFrameOnDisk) {
    TempDir dir;
    const std::string dark = dir.File("dark.pgm");
    std::mutex mutex;  // guards notes
    std::string notes;
    auto note = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        notes += line + "\n";
    };
    auto noted = [&] {
        std::lock_guard lock(mutex);
        return notes;
    };
    CBeamMonitor monitor(note);
    std::string error;
    ASSERT_TRUE(monitor.Start(dark, {}, &error)) << error;
    // Flat frames of 14, faster than it measures: the newest is measured last.
    const std::vector<uint8_t> flat(160 * 120, 14);
    for (uint64_t n = 1; n <= 200; ++n)
        monitor.Submit(n, 160, 120, flat.data());
    ASSERT_TRUE(WaitUntil([&] { return monitor.Latest() && monitor.Latest()->frame == 200; }));
    monitor.CaptureDark(4);
    for (uint64_t n = 201; monitor.DarkFrames() == 0 && n < 2000; ++n) {
        monitor.Submit(n, 160, 120, flat.data());
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(monitor.DarkFrames(), 4u);
    monitor.Stop();

    CBeamMonitor next(note);
    ASSERT_TRUE(next.Start(dark, {10, 10, 100, 80}, &error)) << error;
    EXPECT_EQ(next.DarkFrames(), 4u);
    next.Submit(1, 160, 120, flat.data());
    ASSERT_TRUE(WaitUntil([&] { return next.Latest() != nullptr; }));
    EXPECT_EQ(next.Latest()->background, BeamBackground::kDark);
    EXPECT_EQ(next.Latest()->roi, (BeamRoi{10, 10, 100, 80}));
    // Another frame size drops it, file and all.
    next.Submit(2, 80, 60, flat.data());
    ASSERT_TRUE(WaitUntil([&] { return next.DarkFrames() == 0 && !FileExists(dark); }));
    EXPECT_TRUE(WaitUntil([&] {
        return noted() ==
               "Dark frame captured (4 frames).\nDark frame dropped: the frame size changed.\n";
    }));
}

}  // namespace
