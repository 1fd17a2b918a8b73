#include <gtest/gtest.h>
#include <hdf5.h>
#include <hdf5_hl.h>
#include <png.h>
#include <sys/stat.h>

#include <linux/videodev2.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "capture/DeviceList.h"
#include "capture/ReplayCamera.h"
#include "capture/SyntheticCamera.h"
#include "tests/support/TempDir.h"

namespace {

using Image = std::vector<uint8_t>;
constexpr uint32_t kW = 6, kH = 4;

Image Pattern(int i, uint32_t w = kW, uint32_t h = kH) {
    Image g(size_t{w} * h);
    for (size_t p = 0; p < g.size(); ++p)
        g[p] = static_cast<uint8_t>(p * 7 + static_cast<size_t>(i) * 61);
    return g;
}

// A dataset of `dims` (rank 2 or 3) and `type` holding `bytes`, with time stamps when given.
void WriteH5(const std::string& path, std::vector<hsize_t> dims, hid_t type, const Image& bytes,
             const std::vector<double>& times = {}) {
    hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    for (const char* group : {"/entry", "/entry/data"})
        H5Gclose(H5Gcreate2(f, group, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5LTmake_dataset(f, "/entry/data/data", static_cast<int>(dims.size()), dims.data(), type,
                     bytes.data());
    const hsize_t n = times.size();
    if (n > 0)
        H5LTmake_dataset_double(f, "/entry/data/timestamp", 1, &n, times.data());
    H5Fclose(f);
}

void WritePgm(const std::string& path, const Image& g, uint32_t w = kW, uint32_t h = kH,
              int maxval = 255) {
    WriteFileText(path, "P5\n# by a test\n" + std::to_string(w) + " " + std::to_string(h) + "\n" +
                            std::to_string(maxval) + "\n" + std::string(g.begin(), g.end()));
}

void WritePng(const std::string& path, const Image& g, uint32_t format = PNG_FORMAT_GRAY) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kW;
    image.height = kH;
    image.format = format;
    Image pixels(PNG_IMAGE_SIZE(image));
    std::copy_n(g.begin(), std::min(g.size(), pixels.size()), pixels.begin());
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

// Opens `path` with the replay backend and streams until `count` samples have come, then
// `settle` longer, to see that no more come.
std::vector<Image> Play(const std::string& path, size_t count, VideoCapability* mode,
                        std::chrono::milliseconds settle = {}) {
    CReplayBackend backend;
    auto opened = backend.Open(path);
    if (!opened) {
        ADD_FAILURE() << opened.Message();
        return {};
    }
    auto& device = opened.Value();
    auto caps = device->GetCapabilities();
    if (!caps || caps.Value().size() != 1) {
        ADD_FAILURE() << "not one mode";
        return {};
    }
    *mode = caps.Value()[0];
    std::vector<Image> samples;
    std::mutex m;  // guards samples
    std::condition_variable cv;
    EXPECT_TRUE(device->Start(
        [&](const MediaSample& s) {
            std::lock_guard lock(m);
            samples.emplace_back(s.data, s.data + s.length);
            cv.notify_all();
        },
        {}));
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return samples.size() >= count; });
    }
    std::this_thread::sleep_for(settle);
    EXPECT_TRUE(device->Stop());
    return samples;
}

}  // namespace

TEST(ReplayCamera, PlaysAnHdf5RecordingInOrderAtItsRecordedRateAndLoops) {
    TempDir dir;
    Image all(3 * kW * kH);
    for (size_t p = 0; p < all.size(); ++p)
        all[p] = Pattern(static_cast<int>(p / (kW * kH)))[p % (kW * kH)];
    WriteH5(dir.File("rec.h5"), {3, kH, kW}, H5T_NATIVE_UCHAR, all,
            {1.7e9, 1.7e9 + 0.02, 1.7e9 + 0.04});
    VideoCapability mode;
    const std::vector<Image> samples = Play("replay:" + dir.File("rec.h5"), 7, &mode);
    EXPECT_TRUE(mode.pixelFormat == V4L2_PIX_FMT_GREY && mode.width == kW && mode.height == kH);
    EXPECT_EQ(mode.intervalDenominator / mode.intervalNumerator, 50u);
    ASSERT_GE(samples.size(), 7u);
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(samples[i], Pattern(static_cast<int>(i % 3))) << i;
}

TEST(ReplayCamera, PlaysFolderImagesInNameOrderAndGoesSilentAtTheEndWithoutLoop) {
    for (const char* ext : {".pgm", ".png"}) {
        TempDir dir;
        for (int i : {2, 0, 1}) {  // written out of order
            const std::string name = dir.File("f" + std::to_string(i) + ext);
            ext[2] == 'g' ? WritePgm(name, Pattern(i)) : WritePng(name, Pattern(i));
        }
        WriteFileText(dir.File("notes.txt"), "not an image");
        VideoCapability mode;
        EXPECT_EQ(Play("replay:" + dir.path() + "?loop=0&rate=200", 3, &mode,
                       std::chrono::milliseconds(150)),
                  (std::vector<Image>{Pattern(0), Pattern(1), Pattern(2)}))
            << ext;
        EXPECT_EQ(mode.intervalDenominator / mode.intervalNumerator, 200u);
    }
}

TEST(ReplayCamera, RefusesBadInputsWithOneLine) {
    TempDir dir;
    WriteH5(dir.File("flat.h5"), {kH, kW}, H5T_NATIVE_UCHAR, Pattern(0));
    WriteH5(dir.File("wide.h5"), {1, kH, kW / 2}, H5T_NATIVE_USHORT, Pattern(0));
    for (const char* sub : {"/mixed", "/empty", "/deep", "/both", "/rgb", "/cut"})
        ::mkdir((dir.path() + sub).c_str(), 0700);
    WritePgm(dir.File("mixed/a.pgm"), Pattern(0));
    WritePgm(dir.File("mixed/b.pgm"), Pattern(0, kW - 1, kH), kW - 1);
    WritePgm(dir.File("deep/a.pgm"), Pattern(0), kW / 2, kH, 65535);
    WritePgm(dir.File("both/a.pgm"), Pattern(0));
    WritePng(dir.File("both/b.png"), Pattern(1));
    WritePng(dir.File("rgb/a.png"), Pattern(0), PNG_FORMAT_RGB);
    WritePgm(dir.File("cut/a.pgm"), Image(3));
    const std::string d = dir.path();
    const std::pair<std::string, const char*> cases[] = {
        {d + "/missing.h5", "No such file"},
        {d + "/flat.h5", "not 3-D unsigned 8-bit"},
        {d + "/wide.h5", "not 3-D unsigned 8-bit"},
        {d + "/flat.h5?dataset=/nowhere", "no dataset /nowhere"},
        {d + "/mixed", "b.pgm is 5 x 4, a.pgm 6 x 4"},
        {d + "/empty", "no PGM or PNG images"},
        {d + "/deep", "not an 8-bit PGM"},
        {d + "/both", "mixed"},
        {d + "/rgb", "not an 8-bit gray PNG"},
        {d + "/cut", "cut short"},
        {d + "/mixed?dataset=/a", "HDF5 files only"},
        {d + "/mixed?speed=2", "unknown parameter \"speed\""},
        {d + "/mixed?rate=fast", "not a number"},
        {d + "/mixed?rate=0.01", "out of range"},
        {d + "/mixed?loop=2", "out of range"},
        {d + "/mixed?loop=1&loop=1", "given twice"},
    };
    CReplayBackend backend;
    for (const auto& [path, why] : cases) {
        auto opened = backend.Open("replay:" + path);
        EXPECT_EQ(opened.Code(), kGrabberOpenFailed) << path;
        const std::string error = opened.Message();
        EXPECT_NE(error.find(why), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// Nothing is discovered, but a configured path is listed, kept and opened.
TEST(ReplayCamera, ConfiguredPathIsListedKeptAndOpened) {
    TempDir dir;
    WritePgm(dir.File("a.pgm"), Pattern(0));
    const std::string path = "replay:" + dir.path() + "?rate=5";
    CSyntheticBackend synthetic;
    CReplayBackend replay;
    DeviceList list;
    ASSERT_TRUE(RefreshDeviceList(path, &list, {&synthetic, &replay}));
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(list.selected, 1);
    EXPECT_EQ(list.entries[1].identity, path);
    std::string info;
    int mode = -1;
    ASSERT_TRUE(ShowVideoModeInfo(nullptr, path, 0, &mode, &info, {&replay}));
    EXPECT_NE(info.find("Frames per Second = 5.0"), std::string::npos) << info;
}
