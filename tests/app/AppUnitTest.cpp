#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <thread>
#include <vector>

#include "app/QtMessageLoop.h"
#include "base/Messages.h"
#include "core/CommandLine.h"
#include "core/DialogModel.h"
#include "core/MessageLog.h"
#include "core/PidFile.h"
#include "tests/support/TempDir.h"

TEST(CommandLine, SwitchIsTheLetterAfterTheFirstSlashOfTheArguments) {
    struct Case {
        std::vector<const char*> args;
        char expected;
    } cases[] = {
        {{"/opt/cam/lumerix2", "/a"}, 'a'},       {{"/opt/cam/lumerix2", "/A"}, 'A'},
        {{"/opt/cam/lumerix2", "/q"}, 'q'},       {{"/opt/cam/lumerix2", "/Q"}, 'Q'},
        {{"/opt/cam/lumerix2", "/x", "/a"}, 'x'}, {{"/opt/cam/lumerix2", "-q"}, 0},
        {{"/opt/cam/lumerix2", "a", "q"}, 0},     {{"/opt/cam/lumerix2"}, 0},
        {{"/opt/cam/lumerix2", "/"}, 0},          {{"/opt/cam/lumerix2", "x/q"}, 'q'},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SwitchLetter(static_cast<int>(c.args.size()), c.args.data()), c.expected)
            << c.args.back();
}

TEST(PidFile, ReadsTheLeadingNumberAndWritesWithoutLineEnd) {
    TempDir dir;
    const std::string path = dir.File(kPidFileName);
    EXPECT_EQ(ReadPidFile(path), 0u);  // missing
    struct Case {
        const char* text;
        unsigned long expected;
    } cases[] = {{"", 0},          {"garbage", 0}, {"4242", 4242},
                 {"17\nrest", 17}, {"99abc", 99},  {"-5", 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileText(path, c.text));
        EXPECT_EQ(ReadPidFile(path), c.expected) << c.text;
    }
    ASSERT_TRUE(WritePidFile(path, 31777));
    EXPECT_EQ(ReadFileText(path), "31777");
    EXPECT_FALSE(WritePidFile(dir.File("missing/dir/Lumerix2.pid"), 1));
}

TEST(PidFile, OnlyALiveProcessOfThisExecutableCounts) {
    EXPECT_TRUE(IsServerProcess(static_cast<unsigned long>(getpid())));
    EXPECT_FALSE(IsServerProcess(0));
    EXPECT_FALSE(IsServerProcess(1ul << 40));

    pid_t child = fork();
    if (child == 0) {
        execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    // Until exec has happened the child still runs this executable; wait for the switch.
    for (int i = 0; i < 500 && IsServerProcess(static_cast<unsigned long>(child)); ++i)
        usleep(10000);
    EXPECT_FALSE(IsServerProcess(static_cast<unsigned long>(child)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(IsServerProcess(static_cast<unsigned long>(child)));  // gone
}

TEST(MessageLog, LineFormatWithAFixedClock) {
    TempDir dir;
    std::tm fixed{};
    fixed.tm_mday = 5;
    fixed.tm_mon = 11;
    fixed.tm_year = 107;
    fixed.tm_hour = 14;
    fixed.tm_min = 3;
    fixed.tm_sec = 9;
    CMessageLog log(dir.path(), [&](std::tm* out) {
        *out = fixed;
        return true;
    });
    EXPECT_EQ(log.FormatLine("Grabbing started."), "05.12.2007 14:03:09: Grabbing started.");
    CMessageLog noClock(dir.path(), [](std::tm*) { return false; });
    EXPECT_EQ(noClock.FormatLine("x"), "date unknown: x");

    log.AppendToLogFile("one");
    log.AppendToLogFile("two");
    EXPECT_EQ(ReadFileText(dir.File("Lumerix2.log")), "one\ntwo\n");

    CMessageLog lost(dir.File("no/such/dir"));
    lost.AppendToLogFile("dropped without harm");
}

TEST(MessageBox, KeepsTheNewest100LinesAndDropsMessagesFirst) {
    std::string box = "Messages:\r\n";
    for (int i = 1; i <= 99; ++i)
        AppendMessageBoxLine(box, "line " + std::to_string(i));
    EXPECT_EQ(box.rfind("Messages:\r\nline 1\r\n", 0), 0u);  // 100 lines, nothing dropped yet
    AppendMessageBoxLine(box, "line 100");
    EXPECT_EQ(box.rfind("line 1\r\n", 0), 0u);
    for (int i = 101; i <= 250; ++i)
        AppendMessageBoxLine(box, "line " + std::to_string(i));
    EXPECT_EQ(box.rfind("line 151\r\n", 0), 0u);
    EXPECT_TRUE(box.ends_with("line 250\r\n"));
    size_t lines = 0;
    for (size_t p = box.find("\r\n"); p != std::string::npos; p = box.find("\r\n", p + 2))
        ++lines;
    EXPECT_EQ(lines, 100u);
}

class QtLoopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "app_unit_test";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            new QCoreApplication(argc, argv);
    }
};

TEST_F(QtLoopTest, MessagesFromOtherThreadsArriveInOrderOnTheMainThread) {
    CQtMessageLoop loop;
    constexpr int kCount = 5000;
    std::vector<intptr_t> seen;
    bool allOnMain = true;
    const auto mainId = std::this_thread::get_id();
    loop.SetHandlers(
        [&](const PostedMessage& m) {
            allOnMain = allOnMain && std::this_thread::get_id() == mainId;
            if (m.id == WM_SERVER_QUIT)
                loop.EndDialog(7);
            else
                seen.push_back(m.lParam);
        },
        {});
    std::thread poster([&] {
        for (int i = 0; i < kCount; ++i)
            loop.PostMessage(WM_USER, 0, i);
        loop.PostMessage(WM_SERVER_QUIT, 0, 0);
    });
    EXPECT_EQ(loop.Run(), 7);
    poster.join();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_TRUE(allOnMain);

    loop.Close();
    EXPECT_FALSE(loop.PostMessage(WM_GRAB_START, 0, 0));  // after shutdown: refused, harmless
}

TEST_F(QtLoopTest, TimersKeepTheirIdsAndStopWhenKilled) {
    CQtMessageLoop loop;
    int fired = 0;
    loop.SetHandlers({}, [&](int id) {
        EXPECT_EQ(id, IDT_CLIENT_ACTIVITY);
        if (++fired == 3) {
            loop.KillTimer(id);
            loop.PostTask([&] { loop.EndDialog(0); });
        }
    });
    loop.SetTimer(IDT_CLIENT_ACTIVITY, 5);
    loop.Run();
    EXPECT_EQ(fired, 3);
}
