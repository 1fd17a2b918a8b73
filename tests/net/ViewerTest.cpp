#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/LogSink.h"
#include "compression/Compression.h"
#include "net/FrameServer.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

// Runs the viewer in the background; Finish collects its output and exit code.
class Viewer {
  public:
    explicit Viewer(const std::string& args) {
        std::string cmd = std::string(LX_VIEW_PATH) + " " + args + " 2>&1";
        pipe_ = popen(cmd.c_str(), "r");
    }
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
    FILE* pipe_ = nullptr;
};

class ViewerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        main.Attach(&lossless);
        main.Attach(&lossy);
        ASSERT_EQ(lossless.Start(0, 5, "127.0.0.1"), 1);
        ASSERT_EQ(lossy.Start(0, 5, "127.0.0.1"), 1);
    }
    std::string Address(const CFrameServerBase& s) {
        return "127.0.0.1:" + std::to_string(s.GetPort());
    }

    TempDir dir;
    CMessageQueue queue;
    CLogRecorder log;
    MainThread main{queue};
    CFrameServer lossless{&queue, &log};
    CLossyFrameServer lossy{&queue, &log};
};

TEST_F(ViewerTest, PrintsAndSavesLosslessFrames) {
    Viewer v(Address(lossless) + " --count 2 --save " + dir.path());
    ASSERT_TRUE(main.WaitForClients(lossless, 1));
    auto raw = MakeRawMessage(1, 4, 2);
    FrameHeader c;
    c.formatLength = 40;
    c.dataLength = 20;
    c.totalLength = 88 + 60;
    c.compressed = 1;
    c.width = 640;
    c.height = 480;
    c.frameNumber = 2;
    std::vector<uint8_t> compressed(c.totalLength, 0x5A);
    WriteHeader(compressed.data(), c);
    lossless.Distribute(raw.data(), static_cast<uint32_t>(raw.size()));
    lossless.Distribute(compressed.data(), static_cast<uint32_t>(compressed.size()));

    std::string out;
    EXPECT_EQ(v.Finish(out), 0) << out;
    EXPECT_NE(out.find("frame 1 HFYU 4x2 raw data 8 format 0 total 96 rate 25.00 fps scale 1.5\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("frame 2 HFYU 640x480 compressed data 20 format 40 total 148"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("compressed frame not decoded ("), std::string::npos) << out;

    std::string pgm = ReadFileText(dir.File("frame-0000000001.pgm"));
    EXPECT_EQ(pgm, "P5\n4 2\n255\n" + std::string(raw.begin() + 88, raw.end()));
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000002.hfyu")).size(), 60u);
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
    std::vector<uint8_t> format(formatLength), data(maxSize);
    std::memcpy(format.data(), &formatLength, 4);
    ASSERT_EQ(codec.Compress(image.data(), data.data()), 1);
    ASSERT_EQ(codec.GetOutputFormat(format.data()), 1);  // its biSizeImage is the new size
    BITMAPINFOHEADER out{};
    std::memcpy(&out, format.data(), sizeof out);

    FrameHeader h;
    h.frameNumber = 3;
    h.width = kWidth;
    h.height = kHeight;
    h.compressed = 1;
    h.formatLength = formatLength;
    h.dataLength = out.biSizeImage;
    h.totalLength = 88 + formatLength + out.biSizeImage;
    std::vector<uint8_t> message(h.totalLength);
    WriteHeader(message.data(), h);
    std::memcpy(message.data() + 88, format.data(), formatLength);
    std::memcpy(message.data() + 88 + formatLength, data.data(), out.biSizeImage);

    Viewer v(Address(lossless) + " --count 1 --save " + dir.path());
    ASSERT_TRUE(main.WaitForClients(lossless, 1));
    lossless.Distribute(message.data(), static_cast<uint32_t>(message.size()));
    std::string text;
    EXPECT_EQ(v.Finish(text), 0) << text;
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000003.pgm")),
              "P5\n37 21\n255\n" + std::string(image.begin(), image.end()))
        << text;
}

TEST_F(ViewerTest, PrintsAndSavesLossyFrames) {
    Viewer v(Address(lossy) + " --count 1 --save " + dir.path());
    ASSERT_TRUE(main.WaitForClients(lossy, 1));
    auto m = MakeJpegMessage(7, 100, "Camera 7");
    lossy.Distribute(m.data(), static_cast<uint32_t>(m.size()));
    std::string out;
    EXPECT_EQ(v.Finish(out), 0) << out;
    EXPECT_NE(out.find("frame 7 JFIF 64x48 jpeg data 100 total 188 scale 0 camera \"Camera 7\""),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000007.jpg")), std::string(m.begin() + 88, m.end()));
}

TEST_F(ViewerTest, RefusesAStreamThatIsNotFrames) {
    CTcpSocket listener, peer;
    ASSERT_EQ(listener.Create(0, SOCK_STREAM, "127.0.0.1"), 1);
    ASSERT_EQ(listener.Listen(1), 1);
    Viewer v("127.0.0.1:" + std::to_string(listener.GetLocalPort()));
    ASSERT_EQ(listener.Accept(peer), 1);
    std::string junk(200, 'x');
    peer.Send(junk.data(), static_cast<uint32_t>(junk.size()));
    std::string out;
    EXPECT_EQ(v.Finish(out), 1);
    EXPECT_NE(out.find("not a frame message"), std::string::npos) << out;
}

TEST_F(ViewerTest, UsageErrors) {
    for (const char* args : {"", "localhost", "host:0", "127.0.0.1:1 --count 0", "a:1 --bogus"}) {
        Viewer v(args);
        std::string out;
        EXPECT_EQ(v.Finish(out), 2) << args;
    }
}

}  // namespace
