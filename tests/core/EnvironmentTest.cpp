#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/EnvironmentPublisher.h"
#include "tests/support/Program.h"

namespace {

TEST(Environment, LineIsAddedOrCorrectedAndEverythingElseKept) {
    struct Case {
        const char* before;
        const char* after;
    } cases[] = {
        {"", "LUMERIX2=on\n"},
        {"PATH=/bin\n", "PATH=/bin\nLUMERIX2=on\n"},
        {"A=1\nLUMERIX2=off\n# note\nB=2", "A=1\nLUMERIX2=on\n# note\nB=2\n"},
        {"LUMERIX2X=off\nLUMERIX2=on\n", "LUMERIX2X=off\nLUMERIX2=on\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WithEnvironmentLine(c.before, "LUMERIX2", "on"), c.after) << c.before;
}

TEST(Environment, WritesOnlyWhenNeededKeepingPermissions) {
    TempDir dir;
    const std::string path = dir.File("environment");
    ASSERT_TRUE(WriteFileText(path, "LANG=C\nLUMERIX2=off\n"));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    CEnvironmentPublisher publisher(path);
    ASSERT_TRUE(publisher.PublishNow());
    EXPECT_EQ(ReadFileText(path), "LANG=C\nLUMERIX2=on\n");
    struct stat first {
    }, second{};
    ASSERT_EQ(::stat(path.c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 07777, 0640u);
    ASSERT_TRUE(publisher.PublishNow());
    ASSERT_EQ(::stat(path.c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);  // already right: not replaced

    // The worker publishes on request and stops at once, not after a sleep.
    ASSERT_TRUE(WriteFileText(path, "LUMERIX2=off\n"));
    publisher.Start();
    publisher.Request();
    EXPECT_TRUE(
        WaitFor([&] { return ReadFileText(path) == "LUMERIX2=on\n"; }, std::chrono::seconds(10)));
    auto t0 = std::chrono::steady_clock::now();
    publisher.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    // A file in a place the process may not write is left alone without a crash.
    EXPECT_FALSE(CEnvironmentPublisher(dir.File("missing/environment")).PublishNow());
}

}  // namespace
