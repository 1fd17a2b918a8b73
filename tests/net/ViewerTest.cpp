#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "base/LogSink.h"
#include "compression/CodecSet.h"
#include "frame/LosslessRecord.h"
#include "net/FrameServer.h"
#include "net/TcpSocket.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/FrameHeaders.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/TempDir.h"

namespace {

using testing::HasSubstr;

struct Outcome {
    int code;
    std::string output;
};

// Runs the viewer in the background; the future holds its exit code and output.
std::future<Outcome> RunViewer(const std::string& args) {
    return std::async(std::launch::async, [args] {
        FILE* pipe = popen((std::string(LX_VIEW_PATH) + " " + args + " 2>&1").c_str(), "r");
        Outcome o{-1, ""};
        char buf[512];
        while (pipe != nullptr && fgets(buf, sizeof buf, pipe) != nullptr)
            o.output += buf;
        const int status = pipe != nullptr ? pclose(pipe) : -1;
        o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return o;
    });
}

class ViewerTest : public ::testing::Test {
  protected:
    // Starts a viewer saving `count` frames from `s` and waits until it is served.
    std::future<Outcome> Watch(CFrameServerBase& s, int count) {
        EXPECT_EQ(s.Start(0, 5, "127.0.0.1"), 1);
        auto v = RunViewer("127.0.0.1:" + std::to_string(s.GetPort()) + " --count " +
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

// Frame 2 is a real compressed frame (odd width: the encoder pads a column), frame 3 is not
// a codec stream.
TEST_F(ViewerTest, PrintsDecodesAndSavesFramesOfBothChannels) {
    constexpr uint32_t kWidth = 37, kHeight = 21;
    std::vector<uint8_t> image(kWidth * kHeight);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + i / kWidth);
    CCodecSet set(nullptr);
    ASSERT_TRUE(set.InitializeCompressionCodec(kWidth, kHeight, 8, 30));
    ASSERT_TRUE(set.Codec()->Compress(image.data(), set.CompressedImage()));
    ASSERT_TRUE(set.Codec()->GetOutputFormat(set.OutputFormat()));
    BITMAPINFOHEADER out;  // the output format's biSizeImage is the compressed size
    std::memcpy(&out, set.OutputFormat(), sizeof out);
    FrameHeader h = TestFrameHeader(kWidth, kHeight, 2);
    const uint32_t length =
        PutCompressedRecord(set.LosslessRecord(), set.LosslessRecordCapacity(), h,
                            set.OutputFormat(), out.biSize, set.CompressedImage(), out.biSizeImage);

    auto v = Watch(lossless, 3);
    auto raw = MakeRawMessage(1, 4, 2);
    auto compressed = MakeCompressedMessage(3, 40, 20);
    lossless.Distribute(raw.data(), static_cast<uint32_t>(raw.size()));
    lossless.Distribute(set.LosslessRecord(), length);
    lossless.Distribute(compressed.data(), static_cast<uint32_t>(compressed.size()));
    Outcome o = v.get();
    EXPECT_EQ(o.code, 0) << o.output;
    EXPECT_THAT(
        o.output,
        HasSubstr("frame 1 HFYU 4x2 raw data 8 format 0 total 96 rate 25.00 fps scale 1.5\n"));
    EXPECT_THAT(o.output, HasSubstr("compressed frame not decoded ("));
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000001.pgm")),
              "P5\n4 2\n255\n" + std::string(raw.begin() + 88, raw.end()));
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000002.pgm")),
              "P5\n37 21\n255\n" + std::string(image.begin(), image.end()));
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000003.hfyu")).size(), 60u);

    auto w = Watch(lossy, 1);
    auto m = MakeJpegMessage(7, 100, "Camera 7");
    lossy.Distribute(m.data(), static_cast<uint32_t>(m.size()));
    o = w.get();
    EXPECT_EQ(o.code, 0) << o.output;
    EXPECT_THAT(
        o.output,
        HasSubstr("frame 7 JFIF 64x48 jpeg data 100 total 188 scale 0 camera \"Camera 7\""));
    EXPECT_EQ(ReadFileText(dir.File("frame-0000000007.jpg")), std::string(m.begin() + 88, m.end()));
}

TEST_F(ViewerTest, RefusesAStreamThatIsNotFramesAndBadArguments) {
    CTcpSocket listener, peer;
    ASSERT_EQ(listener.Create(0, SOCK_STREAM, "127.0.0.1"), 1);
    ASSERT_EQ(listener.Listen(1), 1);
    auto v = RunViewer("127.0.0.1:" + std::to_string(listener.GetLocalPort()));
    ASSERT_EQ(listener.Accept(peer), 1);
    const std::string junk(200, 'x');
    peer.Send(junk.data(), static_cast<uint32_t>(junk.size()));
    const Outcome o = v.get();
    EXPECT_EQ(o.code, 1);
    EXPECT_THAT(o.output, HasSubstr("not a frame message"));

    // A server that accepts and then says nothing does not hang the viewer.
    auto silent =
        RunViewer("127.0.0.1:" + std::to_string(listener.GetLocalPort()) + " --timeout 1");
    CTcpSocket quiet;
    ASSERT_EQ(listener.Accept(quiet), 1);
    const Outcome stalled = silent.get();
    EXPECT_EQ(stalled.code, 1);
    EXPECT_THAT(stalled.output, HasSubstr("within the time-out"));

    for (const char* args :
         {"", "localhost", "127.0.0.1:1 --count 0", "a:1 --bogus", "a:1 --timeout 0"})
        EXPECT_EQ(RunViewer(args).get().code, 2) << args;
}

}  // namespace
