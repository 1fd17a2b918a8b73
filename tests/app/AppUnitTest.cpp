#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <thread>
#include <tuple>
#include <vector>

#include "app/QtMessageLoop.h"
#include "base/Messages.h"
#include "core/CommandLine.h"
#include "core/DialogModel.h"
#include "core/MessageLog.h"
#include "core/PidFile.h"
#include "tests/support/TempDir.h"

extern char** environ;

TEST(CommandLine, SwitchIsTheLetterAfterTheFirstSlashOfTheArguments) {
    const std::pair<std::vector<const char*>, char> cases[] = {
        {{"/opt/cam/lumerix2", "/A"}, 'A'},  {{"/opt/cam/lumerix2", "/x", "/a"}, 'x'},
        {{"/opt/cam/lumerix2", "-q"}, 0},    {{"/opt/cam/lumerix2", "a", "q"}, 0},
        {{"/opt/cam/lumerix2"}, 0},          {{"/opt/cam/lumerix2", "/"}, 0},
        {{"/opt/cam/lumerix2", "x/q"}, 'q'},
    };
    for (const auto& [args, expected] : cases)
        EXPECT_EQ(SwitchLetter(static_cast<int>(args.size()), args.data()), expected)
            << args.back();
}

TEST(CommandLine, OnlyDoubleDashArgumentsAreOptionsAndTheFirstDecides) {
    const char* kNoName = "(none)";
    const std::tuple<std::vector<const char*>, LongOption, const char*> cases[] = {
        {{"lumerix2", "/a"}, LongOption::kNone, kNoName},
        {{"lumerix2", "-q", "-h"}, LongOption::kNone, kNoName},
        {{"lumerix2", "/q", "--help"}, LongOption::kHelp, kNoName},
        {{"lumerix2", "--version", "--bogus"}, LongOption::kVersion, kNoName},
        {{"lumerix2", "--bogus/a", "--help"}, LongOption::kUnknown, "--bogus/a"},
        {{"lumerix2", "--"}, LongOption::kUnknown, "--"},
    };
    for (const auto& [args, expected, name] : cases) {
        const char* unknown = kNoName;
        EXPECT_EQ(FindLongOption(static_cast<int>(args.size()), args.data(), &unknown), expected)
            << args.back();
        EXPECT_STREQ(unknown, name) << args.back();
    }
}

TEST(PidFile, ReadsTheLeadingNumberAndWritesWithoutLineEnd) {
    TempDir dir;
    const std::string path = dir.File(kPidFileName);
    EXPECT_EQ(ReadPidFile(path), 0u);  // missing
    const std::pair<const char*, unsigned long> cases[] = {
        {"", 0}, {"garbage", 0}, {"4242", 4242}, {"17\nrest", 17}, {"99abc", 99}, {"-5", 0}};
    for (auto [text, expected] : cases) {
        ASSERT_TRUE(WriteFileText(path, text));
        EXPECT_EQ(ReadPidFile(path), expected) << text;
    }
    ASSERT_TRUE(WritePidFile(path, 31777));
    EXPECT_EQ(ReadFileText(path), "31777");
    EXPECT_FALSE(WritePidFile(dir.File("missing/dir/Lumerix2.pid"), 1));
}

TEST(PidFile, OnlyALiveProcessOfThisExecutableCounts) {
    EXPECT_TRUE(IsServerProcess(static_cast<unsigned long>(getpid())));
    EXPECT_FALSE(IsServerProcess(0));
    EXPECT_FALSE(IsServerProcess(1ul << 40));

    // posix_spawn returns once the child runs the other executable.
    pid_t child = -1;
    char sleep[] = "sleep", seconds[] = "30";
    char* argv[] = {sleep, seconds, nullptr};
    ASSERT_EQ(posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
    EXPECT_FALSE(IsServerProcess(static_cast<unsigned long>(child)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(IsServerProcess(static_cast<unsigned long>(child)));  // gone
}

TEST(MessageLog, LineFormatWithAFixedClock) {
    TempDir dir;
    CMessageLog log(dir.path(), [](std::tm* out) {
        *out = std::tm{};
        return ::strptime("2007-12-05 14:03:09", "%Y-%m-%d %H:%M:%S", out) != nullptr;
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
    for (int i = 1; i <= 250; ++i) {
        AppendMessageBoxLine(box, "line " + std::to_string(i));
        if (i == 99 || i == 100) {  // the 101st line pushes the header out
            EXPECT_EQ(box.starts_with("Messages:\r\n"), i == 99) << i;
        }
    }
    EXPECT_TRUE(box.starts_with("line 151\r\n"));
    EXPECT_TRUE(box.ends_with("line 250\r\n"));
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
    constexpr uint32_t kPost = 1, kQuit = 2;
    CQtMessageLoop loop;
    constexpr int kCount = 5000;
    intptr_t next = 0;
    bool inOrderOnMain = true;
    const auto mainId = std::this_thread::get_id();
    loop.SetHandlers(
        [&](const PostedMessage& m) {
            if (m.id == kQuit)
                loop.EndDialog(7);
            else
                inOrderOnMain &= std::this_thread::get_id() == mainId && m.lParam == next++;
        },
        {});
    std::thread poster([&] {
        for (int i = 0; i < kCount; ++i)
            loop.PostMessage(kPost, 0, i);
        loop.PostMessage(kQuit, 0, 0);
    });
    EXPECT_EQ(loop.Run(), 7);
    poster.join();
    EXPECT_EQ(next, kCount);
    EXPECT_TRUE(inOrderOnMain);

    loop.Close();
    EXPECT_FALSE(loop.PostMessage(kPost, 0, 0));  // after shutdown: refused, harmless
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
