// The beam monitor's thread against its owner: frames handed over while it works, the dark
// frame captured, stored, loaded by the next start, dropped at a new frame size, cleared.
#include "analysis/BeamMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
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

// A round Gaussian spot of σ 5 at (x0, y0) on a background of 20.
std::vector<uint8_t> Spot(uint32_t w, uint32_t h, double x0, double y0) {
    std::vector<uint8_t> p(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            p[y * w + x] = uint8_t(std::lround(
                20 + 200 * std::exp(-((x - x0) * (x - x0) + (y - y0) * (y - y0)) / 50.0)));
    return p;
}

class Notes {
  public:
    void Add(const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    bool Has(const std::string& line) {
        std::lock_guard lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }

  private:
    std::mutex mutex_;  // guards lines_
    std::vector<std::string> lines_;
};

TEST(BeamMonitor, MeasuresTheNewestFrameAndKeepsTheDarkFrameOnDisk) {
    TempDir dir;
    const std::string dark = dir.File("dark.pgm");
    Notes notes;
    CBeamMonitor monitor([&](const std::string& line) { notes.Add(line); });
    std::string error;
    ASSERT_TRUE(monitor.Start(dark, {}, &error)) << error;
    const std::vector<uint8_t> frame = Spot(160, 120, 70.0, 50.0);
    for (uint64_t n = 1; n <= 200; ++n)
        monitor.Submit(n, 160, 120, frame.data());
    ASSERT_TRUE(WaitUntil([&] { return monitor.Latest() && monitor.Latest()->frame == 200; }));
    EXPECT_NEAR(monitor.Latest()->centroidX, 70.0, 0.5);
    EXPECT_NEAR(monitor.Latest()->centroidY, 50.0, 0.5);

    // Flat frames of 14: the dark frame is their mean, stored for the next start.
    const std::vector<uint8_t> flat(160 * 120, 14);
    monitor.CaptureDark(4);
    for (uint64_t n = 201; monitor.DarkFrames() == 0 && n < 2000; ++n) {
        monitor.Submit(n, 160, 120, flat.data());
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(monitor.DarkFrames(), 4u);
    EXPECT_TRUE(notes.Has("Dark frame captured (4 frames)."));
    monitor.Stop();
    CBeamMonitor next([&](const std::string& line) { notes.Add(line); });
    ASSERT_TRUE(next.Start(dark, {10, 10, 100, 80}, &error)) << error;
    EXPECT_EQ(next.DarkFrames(), 4u);
    next.Submit(1, 160, 120, frame.data());
    ASSERT_TRUE(WaitUntil([&] { return next.Latest() != nullptr; }));
    EXPECT_EQ(next.Latest()->background, BeamBackground::kDark);
    EXPECT_EQ(next.Latest()->roi, (BeamRoi{10, 10, 100, 80}));

    // Another frame size drops it, file and all; a clear removes a new one.
    const std::vector<uint8_t> small = Spot(80, 60, 40.0, 30.0);
    next.Submit(2, 80, 60, small.data());
    ASSERT_TRUE(WaitUntil([&] { return next.DarkFrames() == 0 && !FileExists(dark); }));
    EXPECT_TRUE(
        WaitUntil([&] { return notes.Has("Dark frame dropped: the frame size changed."); }));
    next.CaptureDark(1);
    next.Submit(3, 80, 60, small.data());
    ASSERT_TRUE(WaitUntil([&] { return FileExists(dark); }));
    next.ClearDark();
    EXPECT_EQ(next.DarkFrames(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return !FileExists(dark) && notes.Has("Dark frame cleared."); }));
}

}  // namespace
