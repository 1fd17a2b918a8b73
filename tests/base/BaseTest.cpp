#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/HostPort.h"
#include "base/LittleEndian.h"
#include "base/LogSink.h"
#include "base/MessageQueue.h"
#include "base/ProgramDir.h"
#include "base/UniqueFd.h"
#include "tests/support/LogRecorder.h"

TEST(LogMessage, FormatsAndCutsAt1024Characters) {
    CLogRecorder log;
    LogMessage(&log, "Grabbing %s, frame %d.", "started", 7);
    std::string longText(3000, 'x');
    LogMessage(&log, "%s", longText.c_str());
    LogMessage(nullptr, "nobody listens");  // a null sink is harmless
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"Grabbing started, frame 7.", std::string(1024, 'x')}));
}

TEST(LogMessage, CallFromAnotherThreadFailsLoudlyInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CLogRecorder log;
    EXPECT_DEBUG_DEATH(std::thread([&] { LogMessage(&log, "from a worker"); }).join(),
                       "off the main thread");
}

TEST(ProgramDir, DirectoryOfArgv0OrCurrentDirectory) {
    EXPECT_EQ(ProgramDirectory("/opt/cam7/lumerix2"), "/opt/cam7");
    EXPECT_EQ(ProgramDirectory("./lumerix2"), ".");
    EXPECT_EQ(ProgramDirectory("/lumerix2"), "/");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(ProgramDirectory("lumerix2"), cwd);
    EXPECT_EQ(JoinPath("/opt/cam7", "Lumerix2.log"), "/opt/cam7/Lumerix2.log");
    EXPECT_EQ(JoinPath("/", "Lumerix2.log"), "/Lumerix2.log");
}

constexpr uint32_t kFirst = 2238;
constexpr uint32_t kSecond = 2241;

TEST(MessageQueue, KeepsOrderAcrossMessagesAndTasksAndRefusesAfterClose) {
    CMessageQueue queue;
    std::vector<int> seen;
    EXPECT_TRUE(queue.PostMessage(kFirst, 1, 2));
    EXPECT_TRUE(queue.PostTask([&] { seen.push_back(-1); }));
    EXPECT_TRUE(queue.PostMessage(kSecond, 0, 0));
    EXPECT_EQ(queue.Pump([&](const PostedMessage& m) { seen.push_back(static_cast<int>(m.id)); }),
              3);
    EXPECT_EQ(seen, (std::vector<int>{2238, -1, 2241}));

    queue.PostMessage(kFirst, 0, 0);
    queue.Close();
    EXPECT_FALSE(queue.PostMessage(kFirst, 0, 0));
    EXPECT_FALSE(queue.PostTask([] {}));
    EXPECT_EQ(queue.Pump([](const PostedMessage&) { FAIL(); }), 0);
}

TEST(MessageQueue, EveryPostFromManyThreadsArrivesInPerThreadOrder) {
    CMessageQueue queue;
    constexpr int kThreads = 4, kPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                queue.PostMessage(kFirst, t, i);
        });
    std::vector<intptr_t> last(kThreads, -1);
    int total = 0;
    while (total < kThreads * kPerThread) {
        total += queue.WaitAndPump(
            [&](const PostedMessage& m) {
                EXPECT_EQ(m.lParam, last[m.wParam] + 1);
                last[m.wParam] = m.lParam;
            },
            std::chrono::milliseconds(100));
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(total, kThreads * kPerThread);
}

TEST(UniqueFd, ClosesOnceAndMoves) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    UniqueFd reader(fds[0]);
    {
        UniqueFd writer(fds[1]);
        UniqueFd moved(std::move(writer));
        EXPECT_FALSE(writer.valid());  // or both would close the descriptor
    }
    char c;
    EXPECT_EQ(read(reader.get(), &c, 1), 0);  // the write end was closed exactly once
}

TEST(HostPort, SplitsAtTheLastColonAndTakesOnlyDecimalPorts) {
    struct {
        const char* text;
        const char* host = nullptr;  // refused
        uint16_t port = 0;
    } cases[] = {
        {"localhost:31777", "localhost", 31777},
        {"10.0.0.1:1", "10.0.0.1", 1},
        {"a:b:65535", "a:b", 65535},
        {"host:65536"},
        {"host:0"},
        {"host:000080"},
        {"host:+80"},
        {"host:"},
        {":31777"},
        {"host"},
        {"host:12x"},
    };
    for (const auto& c : cases) {
        std::string host = "unchanged";
        uint16_t port = 0;
        EXPECT_EQ(ParseHostPort(c.text, host, port), c.host != nullptr) << c.text;
        EXPECT_EQ(host, c.host ? c.host : "unchanged") << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(LittleEndian, FieldsAreReadAndWrittenLowByteFirst) {
    uint8_t b[8];
    StoreLE32(b, 0x89ABCDEFu);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(b[3], 0x89);
    EXPECT_EQ(LoadLE32(b), 0x89ABCDEFu);
    StoreLE16(b, 0xFF01);
    EXPECT_EQ(LoadLE16(b), 0xFF01);
    StoreLEDouble(b, -2.5);
    EXPECT_EQ(b[7], 0xC0);  // sign and exponent in the last byte
    EXPECT_EQ(LoadLEDouble(b), -2.5);
}
