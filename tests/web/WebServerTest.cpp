// The web server on loopback, driven by a client written from the HTTP and MIME RFCs; the
// test thread is the owner that publishes frames and, pumping its queue, runs the writes.
#include "web/WebServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "base/MessageQueue.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/TempDir.h"
#include "tests/web/HttpClient.h"

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& pred) {
    for (int i = 0; i < 500 && !pred(); ++i)
        std::this_thread::sleep_for(10ms);
    return pred();
}

class WebServerTest : public ::testing::Test, public IControllerRequests, public IWebBeam {
  protected:
    void SetUp() override { ASSERT_TRUE(Start(settings_)); }
    bool Start(const WebSettings& s) {
        web_.SetLinks({&queue_, this, this});
        const bool ok = web_.Start(s);
        port_ = web_.Port();
        return ok;
    }
    void SetState(const char* state) {
        WebStatus s;
        s.state = state;
        web_.PublishStatus(s, true);
    }
    // Runs the posted writes until one was made; what it was.
    std::string NextCall() {
        for (int i = 0; i < 50 && calls_.empty(); ++i)
            queue_.WaitAndPump([](const PostedMessage&) {}, 100ms);
        if (calls_.empty())
            return "";
        std::string c = calls_.front();
        calls_.erase(calls_.begin());
        return c;
    }

    // The owner's side: each call is noted and answered with `answer_`.
    Outcome Request(ControllerCommand c) override {
        calls_.push_back(c == ControllerCommand::kStart ? "start" : "stop");
        return outcome_;
    }
    Outcome Check(ControllerCommand) const override { return outcome_; }
    void Post(ControllerCommand) override {}
    std::string BeamJson() const override { return ""; }
    std::string StabilityJson() const override { return ""; }
    std::string DarkPgm() const override { return ""; }
    void ResetStability() override { ++resets_; }
    CResult<> SetRegion(const std::array<int32_t, 4>& r) override {
        calls_.push_back("roi " + std::to_string(r[0]) + " " + std::to_string(r[1]) + " " +
                         std::to_string(r[2]) + " " + std::to_string(r[3]));
        return answer_;
    }
    CResult<> DarkFrame(int frames) override {
        calls_.push_back("dark " + std::to_string(frames));
        return answer_;
    }

    WebSettings settings_{true, 0, "127.0.0.1", 64, 8, 30};
    CLogRecorder log_;
    CMessageQueue queue_;
    CWebServer web_{&log_, "9.9"};
    uint16_t port_ = 0;
    std::vector<std::string> calls_;  // test thread only
    Outcome outcome_;
    CResult<> answer_ = Success();
    std::atomic<int> resets_{0};
};

TEST_F(WebServerTest, PathsMethodsAndTheEmbeddedPage) {
    const struct {
        const char* method;
        const char* path;
        int status;
        const char* type;
    } cases[] = {
        {"GET", "/", 200, "text/html; charset=utf-8"},
        {"GET", "/app.js", 200, "text/javascript; charset=utf-8"},
        {"GET", "/style.css", 200, "text/css; charset=utf-8"},
        {"GET", "/api/status", 200, "application/json"},
        {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8"},
        {"GET", "/snapshot.jpg", 503, "text/plain; charset=utf-8"},  // no frame yet
        {"GET", "/frame.png", 503, "text/plain; charset=utf-8"},
        {"GET", "/api/stability", 503, "text/plain; charset=utf-8"},  // no figures yet
        {"PUT", "/api/stability", 405, "text/plain; charset=utf-8"},
        {"GET", "/index.html", 404, "text/plain; charset=utf-8"},
        {"GET", "/api/../metrics", 404, "text/plain; charset=utf-8"},
        {"POST", "/", 405, "text/plain; charset=utf-8"},
        {"GET", "/api/stop", 405, "text/plain; charset=utf-8"},
        {"DELETE", "/metrics", 405, "text/plain; charset=utf-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        HttpResponse r = Fetch(port_, c.method, c.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.headers["content-type"], c.type);
        EXPECT_EQ(r.headers.count("allow"), r.status == 405 ? 1u : 0u);
    }
    // The page is served byte for byte as it is in the repository.
    EXPECT_EQ(Fetch(port_, "GET", "/").body, ReadFileText(WEB_ASSETS_DIR "/index.html"));
    EXPECT_EQ(queue_.Pending(), 0u);
}

TEST_F(WebServerTest, StreamSendsTheNewestFrameAndASlowViewerSkipsTheRest) {
    SetState("grabbing");
    const int fd = Connect(port_);
    ASSERT_TRUE(SendAll(fd, "GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n"));
    MultipartReader stream(fd);
    ASSERT_TRUE(stream.Start());
    ASSERT_TRUE(WaitUntil([&] { return web_.JpegWanted(); }));
    // 1 MB frames: the socket buffers hold a few; whatever else comes meanwhile is skipped.
    auto frame = [](uint32_t n) { return std::string(1 << 20, char('a' + n % 26)); };
    const std::string first = frame(1);
    web_.PublishJpeg(1, reinterpret_cast<const uint8_t*>(first.data()), uint32_t(first.size()));
    std::string body;
    ASSERT_TRUE(stream.Next(&body));
    EXPECT_EQ(body, first);
    for (uint32_t n = 2; n <= 40; ++n) {
        const std::string f = frame(n);
        web_.PublishJpeg(n, reinterpret_cast<const uint8_t*>(f.data()), uint32_t(f.size()));
    }
    int parts = 0;
    const std::string last = frame(40);
    while (body != last && stream.Next(&body))
        ++parts;
    EXPECT_EQ(body, last);
    EXPECT_LT(parts, 20);
    ASSERT_TRUE(WaitUntil([&] { return web_.Stats().sent == uint64_t(parts) + 1; }));
    EXPECT_EQ(web_.Stats().clients, 1);
    EXPECT_EQ(web_.Stats().sent + web_.Stats().dropped, 40u);
    ::close(fd);
    // The next frames find it gone: the first write draws the reset, the second fails.
    EXPECT_TRUE(WaitUntil([&] {
        web_.PublishJpeg(41, reinterpret_cast<const uint8_t*>("x"), 1);
        return web_.Stats().clients == 0 && !web_.JpegWanted();
    }));
}

TEST_F(WebServerTest, SnapshotWaitsForTheJpegOfTheNewestFrameWhileGrabbing) {
    const uint8_t pixels[4] = {1, 2, 3, 4};
    SetState("grabbing");
    web_.PublishFrame(7, 2, 2, pixels);
    EXPECT_FALSE(web_.JpegWanted());  // nobody has asked: no JPEG need be made
    auto snapshot =
        std::async(std::launch::async, [&] { return Fetch(port_, "GET", "/snapshot.jpg"); });
    ASSERT_TRUE(WaitUntil([&] { return web_.JpegWanted(); }));
    web_.PublishJpeg(7, reinterpret_cast<const uint8_t*>("JPEG7"), 5);
    HttpResponse r = snapshot.get();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "image/jpeg");
    EXPECT_EQ(r.body, "JPEG7");
    // Stopped, the last JPEG is the answer at once.
    web_.PublishFrame(8, 2, 2, pixels);
    SetState("stopped");
    EXPECT_EQ(Fetch(port_, "GET", "/snapshot.jpg").body, "JPEG7");
    EXPECT_TRUE(WaitUntil([&] { return !web_.JpegWanted(); }));
}

// The gray frame is copied only for a waiting request; stopped, the last PNG answers.
TEST_F(WebServerTest, FramePngIsTheNextFrameDecodedByLibpng) {
    const uint32_t w = 37, h = 11;
    std::vector<uint8_t> pixels(w * h);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint8_t(i * 31 + i / w);
    SetState("grabbing");
    EXPECT_FALSE(web_.FrameWanted());
    auto png = std::async(std::launch::async, [&] { return Fetch(port_, "GET", "/frame.png"); });
    ASSERT_TRUE(WaitUntil([&] { return web_.FrameWanted(); }));
    web_.PublishFrame(1, w, h, pixels.data());
    HttpResponse r = png.get();
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.headers["content-type"], "image/png");
    EXPECT_FALSE(web_.FrameWanted());
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, r.body.data(), r.body.size()));
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr));
    EXPECT_EQ(image.width, w);
    EXPECT_EQ(image.height, h);
    EXPECT_EQ(decoded, pixels);
    SetState("stopped");
    EXPECT_EQ(Fetch(port_, "GET", "/frame.png").body, r.body);
    // A request that waits when grabbing stops gets the last PNG too.
    SetState("grabbing");
    png = std::async(std::launch::async, [&] { return Fetch(port_, "GET", "/frame.png"); });
    ASSERT_TRUE(WaitUntil([&] { return web_.FrameWanted(); }));
    SetState("stopped");
    EXPECT_EQ(png.get().body, r.body);
}

TEST_F(WebServerTest, WritesRunOnTheOwnersThreadAndAreRefusedWhenStopping) {
    const struct {
        const char* path;
        Outcome outcome;
        int status;
        const char* body;
    } cases[] = {{"/api/start", {}, 204, ""},
                 {"/api/stop", {Outcome::kRefused, "Not grabbing."}, 409, "Not grabbing.\n"},
                 {"/api/start", {Outcome::kFailed, "It broke."}, 500, "It broke.\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        outcome_ = c.outcome;
        auto answer = std::async(std::launch::async, [&] { return Fetch(port_, "POST", c.path); });
        EXPECT_EQ(NextCall(), std::string(c.path).substr(5));
        HttpResponse r = answer.get();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.body, c.body);
    }
    // A write still waiting when the server stops is answered, and its late run is harmless.
    auto waiting =
        std::async(std::launch::async, [&] { return Fetch(port_, "POST", "/api/stop"); });
    ASSERT_TRUE(WaitUntil([&] { return queue_.Pending() == 1; }));
    web_.Stop();
    EXPECT_EQ(waiting.get().status, 503);
    EXPECT_EQ(NextCall(), "stop");
}

// The beam's writes reach the owner with their arguments; a malformed one never does.
TEST_F(WebServerTest, BeamWritesCarryCheckedArguments) {
    const struct {
        const char* method;
        const char* path;
        const char* body;
        int status;  // 0: reaches the owner as `call`
        const char* call;
    } cases[] = {
        {"POST", "/api/dark", "", 0, "dark -1"},
        {"POST", "/api/dark?frames=32", "", 0, "dark 32"},
        {"DELETE", "/api/dark", "", 0, "dark 0"},
        {"PUT", "/api/roi", R"( {"width":40, "x":-1,"y":20,"height":30} )", 0, "roi -1 20 40 30"},
        {"POST", "/api/dark?frames=0", "", 400, ""},
        {"POST", "/api/dark?frames=1e3", "", 400, ""},
        {"POST", "/api/dark?frames=-5", "", 400, ""},
        {"PUT", "/api/roi", R"({"x":1,"y":2,"width":3})", 400, ""},
        {"PUT", "/api/roi", R"({"x":1,"y":2,"width":3,"height":4,"x":5})", 400, ""},
        {"PUT", "/api/roi", R"({"x":1.5,"y":2,"width":3,"height":4})", 400, ""},
        {"PUT", "/api/roi", R"({"x":01,"y":2,"width":3,"height":4})", 400, ""},
        {"PUT", "/api/roi", R"({"x":1,"y":2,"width":3,"height":4294967296})", 400, ""},
        {"PUT", "/api/roi", R"({"x":1,"y":2,"width":3,"height":4}x)", 400, ""},
    };
    answer_ = CError{400, "No."};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
        auto answer = std::async(std::launch::async, [&] {
            const int fd = Connect(port_);
            SendAll(fd, std::string(c.method) + " " + c.path +
                            " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(std::strlen(c.body)) + "\r\n\r\n" + c.body);
            HttpResponse r = ReadResponse(fd);
            ::close(fd);
            return r;
        });
        if (c.status != 0) {
            EXPECT_EQ(answer.get().status, c.status);
            EXPECT_EQ(queue_.Pending(), 0u);
            continue;
        }
        EXPECT_EQ(NextCall(), c.call);
        EXPECT_EQ(answer.get().body, "No.\n");
    }
    // The stability window is emptied on the server's own thread: nothing is posted.
    EXPECT_EQ(Fetch(port_, "DELETE", "/api/stability").status, 204);
    EXPECT_EQ(resets_.load(), 1);
    EXPECT_EQ(queue_.Pending(), 0u);
    EXPECT_EQ(Fetch(port_, "GET", "/api/beam").status, 503);  // nothing measured yet
    EXPECT_EQ(Fetch(port_, "GET", "/api/dark").status, 404);
}

TEST_F(WebServerTest, HostileClientsLeaveTheViewersServed) {
    SetState("grabbing");
    const int viewer = Connect(port_, "127.0.0.2");
    ASSERT_TRUE(SendAll(viewer, "GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n"));
    MultipartReader stream(viewer);
    ASSERT_TRUE(stream.Start());
    auto publish = [&](const std::string& f) {
        web_.PublishJpeg(1, reinterpret_cast<const uint8_t*>(f.data()), uint32_t(f.size()));
    };

    auto raw = [&](const std::string& request) {
        const int fd = Connect(port_, "127.0.0.3");
        SendAll(fd, request);
        HttpResponse r = ReadResponse(fd);
        ::close(fd);
        return r;
    };
    const int garbage = raw("GARBAGE\r\n\r\n").status;
    EXPECT_TRUE(garbage == 400 || garbage == 0) << garbage;
    const std::string huge(8200, 'a');
    const int hugeStatus =
        raw("GET /metrics HTTP/1.1\r\nHost: x\r\nX-A: " + huge + "\r\n\r\n").status;
    EXPECT_TRUE(hugeStatus == 431 || hugeStatus == 0) << hugeStatus;
    const int longLine = raw("GET /" + huge + " HTTP/1.1\r\nHost: x\r\n\r\n").status;
    EXPECT_TRUE(longLine == 414 || longLine == 431 || longLine == 0) << longLine;
    // A body over 1 KiB is not read: the connection closes and no command is made.
    const HttpResponse big =
        raw("POST /api/start HTTP/1.1\r\nHost: x\r\nContent-Length: 4096\r\n\r\n" +
            std::string(4096, 'b'));
    EXPECT_TRUE(big.status == 0 || big.status == 413) << big.status;
    EXPECT_EQ(queue_.Pending(), 0u);

    // Slow clients fill their address's share: the ninth is closed at once.
    std::vector<int> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(Connect(port_, "127.0.0.4"));
        SendAll(slow.back(), "GET /metr");  // and never more
    }
    EXPECT_EQ(Fetch(port_, "GET", "/api/status").status, 200);  // another address
    const int ninth = Connect(port_, "127.0.0.4");
    char byte;
    EXPECT_EQ(::recv(ninth, &byte, 1, 0), 0);
    // 200 connects at once from many addresses take every free place; the viewer goes on.
    std::vector<int> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000100 + uint32_t(i % 40) + 1);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port_);
        ::bind(crowd.back(), reinterpret_cast<sockaddr*>(&from), sizeof from);
        ::connect(crowd.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    for (char c : std::string("next")) {
        publish(std::string(1000, c));
        std::string body;
        ASSERT_TRUE(stream.Next(&body));
        EXPECT_EQ(body, std::string(1000, c));
    }
    for (int fd : crowd)
        ::close(fd);
    for (int fd : slow)
        ::close(fd);
    ::close(ninth);
    EXPECT_TRUE(WaitUntil([&] { return Fetch(port_, "GET", "/api/status").status == 200; }));
    ::close(viewer);
}

TEST_F(WebServerTest, IdleConnectionsCloseAndATakenPortIsOneLogLine) {
    CWebServer quick(&log_, "9.9");
    ASSERT_TRUE(quick.Start({true, 0, "127.0.0.1", 64, 8, 1}));
    const int idle = Connect(quick.Port());
    char byte;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(::recv(idle, &byte, 1, 0), 0);  // closed by the server, before the 5 s time-out
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    ::close(idle);

    log_.lines.clear();
    CWebServer second(&log_, "9.9");
    EXPECT_FALSE(second.Start({true, port_, "127.0.0.1", 64, 8, 30}));
    ASSERT_EQ(log_.lines.size(), 1u);
    EXPECT_NE(log_.lines[0].find("could not be opened"), std::string::npos) << log_.lines[0];
    EXPECT_FALSE(second.IsRunning());
}

}  // namespace
