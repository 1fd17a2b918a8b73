#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/LogSink.h"
#include "compression/Compression.h"
#include "frame/LosslessRecord.h"
#include "net/FrameServer.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

// Runs the viewer in the background; Finish collects its output and exit code.
class Viewer {
  public:
    explicit Viewer(const std::string& args)
        : pipe_(popen((std::string(LX_VIEW_PATH) + " " + args + " 2>&1").c_str(), "r")) {}
    ~Viewer() {
        if (pipe_ != nullptr)
            pclose(pipe_);
    }
    int Finish(std::string& output) {
        char buf[512];
        while (fgets(buf, sizeof buf, pipe_) != nullptr)
            output += buf;
        int status = pclose(pipe_);
        pipe_ = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    FILE* pipe_;
};

class ViewerTest : public ::testing::Test {
  protected:
    // Starts a viewer saving `count` frames from `s` and waits until it is served.
    std::unique_ptr<Viewer> Watch(CFrameServerBase& s, int count) {
        main.Attach(&s);
        EXPECT_EQ(s.Start(0, 5, "127.0.0.1"), 1);
        auto v = std::make_unique<Viewer>("127.0.0.1:" + std::to_string(s.GetPort()) + " --count " +
                                          std::to_string(count) + " --save " + dir.path());
        EXPECT_TRUE(main.WaitForClients(s, 1));
        return v;
    }

    TempDir dir;
    CMessageQueue queue;
    CLogRecorder log;
    MainThread main{queue};
    CFrameServer lossless{&queue, &log};
    CLossyFrameServer lossy{&queue, &log};
};

TEST_F(ViewerTest, PrintsAndSavesFramesOfBothChannels) {
    auto v = Watch(lossless, 2);
    auto raw = MakeRawMessage(1, 4, 2);
    auto compressed = MakeCompressedMessage(2, 40, 20);  // not a codec stream
    lossless.Distribute(raw.data(), static_cast<uint32_t>(raw.size()));
    lossless.Distribute(compressed.data(), static_cast<uint32_t>(compressed.size()));
    std::string out;
    EXPECT_EQ(v->Finish(out), 0) << out;
    EXPECT_NE(out.find("frame 1 HFYU 4x2 raw data 8 format 0 total 96 rate 25.00 fps scale 1.5\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("compressed frame not decoded ("), std::string::npos) << out;
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000001.pgm")),
              "P5\n4 2\n255\n" + std::string(raw.begin() + 88, raw.end()));
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000002.hfyu")).size(), 60u);

    auto w = Watch(lossy, 1);
    auto m = MakeJpegMessage(7, 100, "Camera 7");
    lossy.Distribute(m.data(), static_cast<uint32_t>(m.size()));
    EXPECT_EQ(w->Finish(out), 0) << out;
    EXPECT_NE(out.find("frame 7 JFIF 64x48 jpeg data 100 total 188 scale 0 camera \"Camera 7\""),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000007.jpg")), std::string(m.begin() + 88, m.end()));
}

// A real HuffYUV frame, as the server sends it, comes out of the viewer as the same image.
TEST_F(ViewerTest, DecodesCompressedFramesToTheOriginalImage) {
    constexpr uint32_t kWidth = 37, kHeight = 21;  // odd width: the encoder pads a column
    std::vector<uint8_t> image(kWidth * kHeight);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + i / kWidth);
    BITMAPINFOHEADER in{};
    in.biSize = sizeof in;
    in.biWidth = kWidth;
    in.biHeight = kHeight;
    in.biPlanes = 1;
    in.biBitCount = 8;
    in.biSizeImage = kWidth * kHeight;
    CCompression codec;
    uint32_t maxSize = 0, formatLength = 0;
    ASSERT_EQ(codec.Init(kFourCCHfyu, &in), 1);
    ASSERT_EQ(codec.GetMaxCompressedSize(&maxSize), 1);
    ASSERT_EQ(codec.GetOutputFormatLength(&formatLength), 1);
    std::vector<uint8_t> data(maxSize), format(formatLength);
    ASSERT_EQ(codec.Compress(image.data(), data.data()), 1);
    std::memcpy(format.data(), &formatLength, 4);
    ASSERT_EQ(codec.GetOutputFormat(format.data()), 1);
    BITMAPINFOHEADER out{};  // the output format's biSizeImage is the compressed size
    std::memcpy(&out, format.data(), sizeof out);
    FrameHeader h;
    h.frameNumber = 3;
    h.width = kWidth;
    h.height = kHeight;
    const auto message =
        MakeCompressedRecord(h, format.data(), formatLength, data.data(), out.biSizeImage);

    auto v = Watch(lossless, 1);
    lossless.Distribute(message.data(), static_cast<uint32_t>(message.size()));
    std::string text;
    EXPECT_EQ(v->Finish(text), 0) << text;
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000003.pgm")),
              "P5\n37 21\n255\n" + std::string(image.begin(), image.end()))
        << text;
}

TEST_F(ViewerTest, RefusesAStreamThatIsNotFramesAndBadArguments) {
    CTcpSocket listener, peer;
    ASSERT_EQ(listener.Create(0, SOCK_STREAM, "127.0.0.1"), 1);
    ASSERT_EQ(listener.Listen(1), 1);
    Viewer v("127.0.0.1:" + std::to_string(listener.GetLocalPort()));
    ASSERT_EQ(listener.Accept(peer), 1);
    std::string junk(200, 'x'), out;
    peer.Send(junk.data(), static_cast<uint32_t>(junk.size()));
    EXPECT_EQ(v.Finish(out), 1);
    EXPECT_NE(out.find("not a frame message"), std::string::npos) << out;

    for (const char* args : {"", "localhost", "127.0.0.1:1 --count 0", "a:1 --bogus"})
        EXPECT_EQ(Viewer(args).Finish(out), 2) << args;
}

}  // namespace
