// The real program replays a folder of images on its Lossless channel.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "compression/HuffyuvDecoder.h"
#include "net/FrameClient.h"
#include "tests/support/Program.h"

TEST(ReplayProgram, ServesTheImagesOfAFolderUnchangedAndInOrder) {
    ProgramDir dir(LUMERIX2_EXE, "[CameraSettings]\nOrientation=NORM\n");
    constexpr uint32_t kW = 64, kH = 48;
    std::vector<std::vector<uint8_t>> images(3, std::vector<uint8_t>(kW * kH));
    ASSERT_EQ(::mkdir(dir.File("frames").c_str(), 0700), 0);
    for (size_t i = 0; i < images.size(); ++i) {
        for (size_t p = 0; p < images[i].size(); ++p)  // rows differ: a flip would show
            images[i][p] = static_cast<uint8_t>((p / kW) * 5 + (p % kW) + i * 40);
        WriteFileText(dir.File("frames/img" + std::to_string(i) + ".pgm"),
                      "P5 64 48 255\n" + std::string(images[i].begin(), images[i].end()));
    }
    WriteFileText(dir.File("curhardware.cfg"),
                  "[GlobalSettings]\nType=DirectShow\nDevicePath=replay:" + dir.File("frames") +
                      "?rate=10\nDeviceVideoMode=0\n");
    pid_t server = dir.StartServer({"/a"});
    ASSERT_TRUE(dir.WaitForLog("Grabbing started.")) << dir.Log();

    CFrameClient client;
    std::string error;
    ASSERT_EQ(client.Connect("127.0.0.1", dir.GetPorts().lossless, error), 1) << error;
    client.SetReceiveTimeout(20000);
    CHuffyuvDecoder decoder;
    int previous = -1;
    for (int n = 0; n < 5; ++n) {
        FrameMessage m;
        ASSERT_EQ(client.ReadMessage(m, error), kReadMessage) << error;
        std::vector<uint8_t> gray;
        uint32_t w = 0, h = 0;
        auto decoded = decoder.DecodeMessage(m.bytes.data(), m.bytes.size(), gray, w, h);
        ASSERT_TRUE(decoded) << decoded.Message();
        const int index =
            static_cast<int>(std::find(images.begin(), images.end(), gray) - images.begin());
        ASSERT_LT(index, 3) << "frame " << n << " is none of the images";
        if (previous >= 0) {
            EXPECT_EQ(index, (previous + 1) % 3);
        }
        previous = index;
    }
    kill(server, SIGTERM);
    EXPECT_EQ(WaitExit(server), 0);
}
