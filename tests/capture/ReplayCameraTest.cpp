#include <gtest/gtest.h>
#include <hdf5.h>
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
    hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    auto put = [&](const char* name, hid_t t, hid_t mem, int rank, const hsize_t* d,
                   const void* v) {
        hid_t s = H5Screate_simple(rank, d, nullptr);
        hid_t ds = H5Dcreate2(f, name, t, s, lcpl, H5P_DEFAULT, H5P_DEFAULT);
        H5Dwrite(ds, mem, H5S_ALL, H5S_ALL, H5P_DEFAULT, v);
        H5Dclose(ds);
        H5Sclose(s);
    };
    put("/entry/data/data", type, H5T_NATIVE_UCHAR, static_cast<int>(dims.size()), dims.data(),
        bytes.data());
    const hsize_t n = times.size();
    if (n > 0)
        put("/entry/data/timestamp", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, 1, &n, times.data());
    H5Pclose(lcpl);
    H5Fclose(f);
}

void WritePgm(const std::string& path, const Image& g, uint32_t w = kW, uint32_t h = kH,
              int maxval = 255) {
    std::string text = "P5\n# made by a test\n" + std::to_string(w) + " " + std::to_string(h) +
                       "\n" + std::to_string(maxval) + "\n";
    WriteFileText(path, text + std::string(g.begin(), g.end()));
}

void WritePng(const std::string& path, const Image& g, int colorType = PNG_COLOR_TYPE_GRAY) {
    FILE* f = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, kW, kH, 8, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t row = colorType == PNG_COLOR_TYPE_GRAY ? kW : kW * 3;
    Image wide(row * kH);
    for (size_t p = 0; p < wide.size(); ++p)
        wide[p] = g[p * kW / row];
    for (uint32_t y = 0; y < kH; ++y)
        png_write_row(png, wide.data() + y * row);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// Opens `path` with the replay backend and streams until `count` samples have come (or
// `settle` more after that, to see that no more come).
struct Replay {
    std::vector<VideoCapability> caps;
    std::vector<Image> samples;
    std::vector<int64_t> times;
};
Replay Play(const std::string& path, size_t count, std::chrono::milliseconds settle = {}) {
    CReplayBackend backend;
    DeviceError code;
    std::string error;
    auto device = backend.Open(path, &code, &error);
    Replay r;
    EXPECT_TRUE(device) << error;
    if (!device)
        return r;
    MediaType type;
    device->GetCapabilities(&r.caps);
    EXPECT_EQ(device->SetFormat(r.caps.at(0), &type), DeviceError::kNone);
    std::mutex m;  // guards r's samples and times
    std::condition_variable cv;
    device->Start(
        [&](const MediaSample& s) {
            std::lock_guard lock(m);
            r.samples.emplace_back(s.data, s.data + s.length);
            r.times.push_back(s.startTime);
            cv.notify_all();
        },
        {});
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return r.samples.size() >= count; });
    }
    std::this_thread::sleep_for(settle);
    device->Stop();
    return r;
}

}  // namespace

TEST(ReplayCamera, PlaysAnHdf5RecordingInOrderAtItsRecordedRateAndLoops) {
    TempDir dir;
    Image all;
    for (int i = 0; i < 3; ++i) {
        Image f = Pattern(i);
        all.insert(all.end(), f.begin(), f.end());
    }
    WriteH5(dir.File("rec.h5"), {3, kH, kW}, H5T_STD_U8LE, all,
            {1.7e9, 1.7e9 + 0.02, 1.7e9 + 0.04});
    Replay r = Play("replay:" + dir.File("rec.h5"), 7);
    ASSERT_EQ(r.caps.size(), 1u);
    EXPECT_EQ(r.caps[0].pixelFormat, V4L2_PIX_FMT_GREY);
    EXPECT_EQ(r.caps[0].width * 1000 + r.caps[0].height, kW * 1000 + kH);
    EXPECT_EQ(r.caps[0].intervalDenominator / r.caps[0].intervalNumerator, 50u);
    ASSERT_GE(r.samples.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(r.samples[i], Pattern(static_cast<int>(i % 3))) << i;
        // Time stamps step by whole intervals of 20 ms.
        EXPECT_EQ((r.times[i] - r.times[0]) % 200000, 0);
    }
}

TEST(ReplayCamera, PlaysFolderImagesInNameOrderAndGoesSilentAtTheEndWithoutLoop) {
    for (const char* ext : {".pgm", ".png"}) {
        TempDir dir;
        for (int i : {2, 0, 1}) {  // written out of order
            const std::string name = dir.File("f" + std::to_string(i) + ext);
            ext[2] == 'g' ? WritePgm(name, Pattern(i)) : WritePng(name, Pattern(i));
        }
        WriteFileText(dir.File("notes.txt"), "not an image");
        Replay r =
            Play("replay:" + dir.path() + "?loop=0&rate=200", 3, std::chrono::milliseconds(150));
        EXPECT_EQ(r.caps.at(0).intervalDenominator / r.caps[0].intervalNumerator, 200u);
        EXPECT_EQ(r.samples, (std::vector<Image>{Pattern(0), Pattern(1), Pattern(2)})) << ext;
    }
}

TEST(ReplayCamera, RefusesBadInputsWithOneLine) {
    TempDir dir;
    WriteH5(dir.File("flat.h5"), {kH, kW}, H5T_STD_U8LE, Pattern(0));
    WriteH5(dir.File("wide.h5"), {1, kH, kW / 2}, H5T_STD_U16LE, Pattern(0));
    WriteFileText(dir.File("text.h5"), "plain text");
    for (const char* sub : {"/mixed", "/empty", "/deep", "/both", "/rgb", "/cut"})
        ::mkdir((dir.path() + sub).c_str(), 0700);
    WritePgm(dir.File("mixed/a.pgm"), Pattern(0));
    WritePgm(dir.File("mixed/b.pgm"), Pattern(0, kW - 1, kH), kW - 1);
    WritePgm(dir.File("deep/a.pgm"), Pattern(0), kW / 2, kH, 65535);
    WritePgm(dir.File("both/a.pgm"), Pattern(0));
    WritePng(dir.File("both/b.png"), Pattern(1));
    WritePng(dir.File("rgb/a.png"), Pattern(0), PNG_COLOR_TYPE_RGB);
    WritePgm(dir.File("cut/a.pgm"), Image(3));
    const std::string d = dir.path();
    const std::pair<std::string, const char*> cases[] = {
        {d + "/missing.h5", "No such file"},
        {d + "/text.h5", "not a readable HDF5 file"},
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
        {"relative/path", "must be absolute"},
        {d + "/mixed?speed=2", "unknown parameter \"speed\""},
        {d + "/mixed?rate=fast", "not a number"},
        {d + "/mixed?rate=0.01", "out of range"},
        {d + "/mixed?rate=1001", "out of range"},
        {d + "/mixed?loop=2", "out of range"},
        {d + "/mixed?loop=1&loop=1", "given twice"},
    };
    CReplayBackend backend;
    for (const auto& [path, why] : cases) {
        DeviceError code;
        std::string error;
        EXPECT_FALSE(backend.Open("replay:" + path, &code, &error)) << path;
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
    ASSERT_EQ(RefreshDeviceList(path, &list, {&synthetic, &replay}), 1);
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(list.selected, 1);
    EXPECT_EQ(list.entries[1].identity, path);
    ASSERT_EQ(RefreshDeviceList("synthetic:0", &list, {&synthetic, &replay}), 1);
    EXPECT_EQ(list.entries.size(), 1u);
    std::string info;
    int mode = -1;
    ASSERT_EQ(ShowVideoModeInfo(nullptr, path, 0, &mode, &info, {&replay}), 1);
    EXPECT_NE(info.find("Frames per Second = 5.0"), std::string::npos) << info;
}
