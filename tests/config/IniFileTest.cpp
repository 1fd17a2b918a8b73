#include "config/IniFile.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

using namespace std::string_literals;

namespace {

size_t FilesIn(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

class IniFileTest : public ::testing::Test {
  protected:
    std::unique_ptr<CIniFile> Loaded(const std::string& text,
                                     const std::string& name = "test.cfg") {
        EXPECT_TRUE(WriteFileText(dir_.File(name), text));
        auto ini = std::make_unique<CIniFile>(dir_.path());
        EXPECT_TRUE(ini->Load(name));
        return ini;
    }
    TempDir dir_;
};

TEST_F(IniFileTest, ReadingRules) {
    const std::string D = "<default>";
    struct {
        std::string text, section, key, expected;
    } cases[] = {
        // Blanks around '=' belong to key and value.
        {"[D]\nPORT = 31777\n", "D", "PORT ", " 31777"},
        // Inline comment: the last ';' and what follows are dropped.
        {"[D]\nJPEGQuality=60 ; percent\n", "D", "JPEGQuality", "60 "},
        {"[G]\nDevicePath=a;b;c\n", "G", "DevicePath", "a;b"},
        {"[D]\nA=1\n[O]\nB=2\n[D]\nA=3\nC=4\n", "D", "A", "1"},  // first section wins
        {"[D]\nA=1\n[O]\nB=2\n[D]\nA=3\nC=4\n", "D", "C", D},
        {"[D]\nA=1\n[O]\nB=2\n[D]\nA=3\nC=4\n", "O", "B", "2"},
        {"[S]\nk=1\nk=2\nK=3\n", "s", "k", "3"},  // last duplicate wins; case is ignored
        {"k=1\n[S]\nk=2\n", "#", "k", D},         // lines before the first header
        {"[]\nk=1\n", "", "k", "1"},
        {"[S]\n[S]\nk=1\n[T]\n", "S", "k", "1"},  // a header without entries is invisible
        {"[S]\n[S]\nk=1\n[T]\n", "T", "k", D},
        {"[S]\n#k=1\n# k\nk=2\n", "S", "#k", D},
        {"[S]\n#k=1\n# k\nk=2\n", "S", "#k=1", D},
        // Trailing white space goes, leading stays.
        {"[S] \t\r\n k=v \t\r\x0b\x0c\nk2=v2\r\n", "S", " k", "v"},
        {"[S] \t\r\n k=v \t\r\x0b\x0c\nk2=v2\r\n", "S", "k2", "v2"},
        {"[S]\nflag\n[\n", "S", "flag", ""},
        {"[S]\nflag\n[\n", "S", "[", ""},
        {"[S]\nk==a=b\n", "S", "k", "=a=b"},
        {"[S]\nType=Cam\0junk\nk=v"s + std::string(100, '\0'), "S", "Type", "Cam"},
        {"[S]\nType=Cam\0junk\nk=v"s + std::string(100, '\0'), "S", "k", "v"},
        {"[#S]\nk=1\n", "#S", "k", D},
    };
    for (const auto& c : cases) {
        auto ini = Loaded(c.text);
        EXPECT_EQ(ini->GetValue(c.section, c.key, D), c.expected)
            << ::testing::PrintToString(c.text) << " " << c.section << "/" << c.key;
    }
}

TEST_F(IniFileTest, LongLinesAreReadWholeUpToTheFileBound) {
    // A long line is read whole; "port=31777" crosses the bound: it is dropped whole, not read
    // cut short.
    std::string head = "[S]\nk=" + std::string(CIniFile::kMaxFileBytes - 12, 'x') + "\n";
    auto ini = Loaded(head + "port=31777\n" + std::string(100, 'y') + "\n");
    EXPECT_EQ(ini->GetValue("S", "k", "").size(), CIniFile::kMaxFileBytes - 12);
    EXPECT_EQ(ini->GetValue("S", "port", "none"), "none");
}

TEST_F(IniFileTest, NumbersReadLikeAtoiAndAtof) {
    auto ini = Loaded(
        "[S]\nspaced= 31777\nplus=+5\ntrail=42abc\nhex=0x10\nword=abc\nhuge=99999999999\n"
        "tiny=-99999999999\ncomment=60 ; percent\ndecimal=2.5x\nexp=-1.5e2\n");
    const std::pair<const char*, int> ints[] = {
        {"spaced", 31777}, {"plus", 5},       {"trail", 42},   {"hex", 0},     {"word", 0},
        {"huge", INT_MAX}, {"tiny", INT_MIN}, {"comment", 60}, {"absent", 123}};
    for (auto [key, expected] : ints)
        EXPECT_EQ(ini->GetInt("S", key, 123), expected) << key;
    for (auto [key, expected] : {std::pair<const char*, double>{"decimal", 2.5},
                                 {"exp", -150},
                                 {"word", 0},
                                 {"absent", -1}})
        EXPECT_DOUBLE_EQ(ini->GetDouble("S", key, -1), expected) << key;
}

TEST_F(IniFileTest, SaveWritesTheExactForm) {
    auto ini = Loaded(
        "top=1\n[A]\n\n# a comment = with equals\nx = 1 ; note\nflag\n=v\n[Empty]\n[]\n"
        "e=1\n[A]\nx=second\n[a]\n");
    ASSERT_TRUE(ini->SetValue("B", "k", "v"));
    ASSERT_TRUE(ini->Save());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")),
              "top=1\n[A]\n# a comment = with equals\nx = 1 ; note\nflag\n=v\n[]\ne=1\n"
              "[A]\nx=second\n[B]\nk=v\n");
    EXPECT_FALSE(ini->IsModified());
}

// An unchanged store saves the lines it read (blank ones aside), so notes survive the saves
// the server makes by itself; a bare word that gets a value gains its '='.
TEST_F(IniFileTest, SavingAnUnchangedStoreGivesBackItsLines) {
    struct {
        std::string text, expected;
    } cases[] = {
        {"; Camera 7 -- ask the shift leader\n[DEFAULT]\nLISTENPORTNUMBER=41977   ; firewall\n",
         ""},
        {"# note\n; a = b\nbare word\n\n[S]\n\nk=v\n# c = d\n; c\nflag\n",
         "# note\n; a = b\nbare word\n[S]\nk=v\n# c = d\n; c\nflag\n"},
        {"[#]\n; from an earlier version\n[S]\nk=v\n", ""},
        {"top=1\n[#]\nold\n[]\ne=1\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto ini = Loaded(c.text);
        const std::string expected = c.expected.empty() ? c.text : c.expected;
        ASSERT_TRUE(ini->SetValue("S", "new", "1"));
        ASSERT_TRUE(ini->Save());
        std::string saved = ReadFileText(dir_.File("test.cfg"));
        EXPECT_EQ(saved.substr(0, expected.size()), expected);
        auto again = Loaded(saved);
        EXPECT_EQ(again->Text(), saved);
        EXPECT_EQ(again->GetValue("DEFAULT", "LISTENPORTNUMBER", "-"),
                  ini->GetValue("DEFAULT", "LISTENPORTNUMBER", "-"));
    }
    auto ini = Loaded("[S]\nflag\n");
    ASSERT_TRUE(ini->SetValue("S", "FLAG", "1"));
    EXPECT_EQ(ini->Text(), "[S]\nflag=1\n");
}

TEST_F(IniFileTest, SetValueRules) {
    auto ini = Loaded("[CameraSettings]\nOrientation=NORM\nName=a\nName=b\n[S]\n#c\n");
    // Equal but for letter case: the text changes, the file does not need to.
    ASSERT_TRUE(ini->SetValue("camerasettings", "ORIENTATION", "norm"));
    EXPECT_FALSE(ini->IsModified());
    ASSERT_TRUE(WriteFileText(dir_.File("test.cfg"), "edited by hand\n"));
    ASSERT_TRUE(ini->Save());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")), "edited by hand\n");
    // A camera name from a control-system client must not be able to add lines.
    EXPECT_FALSE(ini->SetValue("CameraSettings", "Name", "x\n[DEFAULT]\nLISTENPORTNUMBER=1"));
    EXPECT_FALSE(ini->SetValue("CameraSettings", "Name", std::string("x\0y", 3)));
    EXPECT_FALSE(ini->SetValue("Camera\nSettings", "Name", "x"));
    EXPECT_FALSE(ini->IsModified());

    // The last duplicate is the one changed; both stay.
    ASSERT_TRUE(ini->SetValue("CameraSettings", "Name", "c"));
    EXPECT_TRUE(ini->IsModified());
    // A comment is never matched: the key is appended.
    ASSERT_TRUE(ini->SetValue("S", "#c", "1"));
    ASSERT_TRUE(ini->SetInt("New", "Port", -31777));
    ASSERT_TRUE(ini->SetDouble("New", "Scale", 1.0));
    ASSERT_TRUE(ini->SetDouble("New", "Small", 0.0000004));
    ASSERT_TRUE(ini->Save());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")),
              "[CameraSettings]\nOrientation=norm\nName=a\nName=c\n[S]\n#c\n#c=1\n"
              "[New]\nPort=-31777\nScale=1.000000\nSmall=0.000000\n");
}

TEST_F(IniFileTest, MissingFileOrDirectoryLoadsEmptyAndAnUnchangedStoreCreatesNothing) {
    CIniFile ini(dir_.path());
    EXPECT_FALSE(ini.Load("absent.cfg"));
    EXPECT_TRUE(ini.Save());
    EXPECT_FALSE(FileExists(dir_.File("absent.cfg")));
    ::mkdir(dir_.File("sub").c_str(), 0700);
    EXPECT_FALSE(ini.Load("sub"));
}

// The superuser writes through every permission bit, so a case about protection runs `body`
// in a child that first becomes "nobody", with the directory and its files handed over to it.
// Returns the child's exit status.
int AsPlainUser(const TempDir& dir, const std::function<int()>& body) {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() == 0) {
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0);
        EXPECT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
    }
    pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(IniFileSave, FailureKeepsStoreAndFileAndAReadOnlyDirectoryIsWrittenInPlace) {
    const std::string old = "[S]\nk=old\n", big(8192, 'n');
    struct Case {
        mode_t dirMode, fileMode;
        std::string value;
        bool diskFull, saved;
    } cases[] = {
        {0700, 0400, big, false, false},  // a read-only file is not replaced
        {0500, 0400, big, false, false},
        {0700, 0600, big, true, false},  // the temporary file goes, the old file stays
        {0500, 0600, big, true, false},  // written in place: the old text is put back
        {0500, 0600, "n", false, true},  // written in place and cut to length
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        TempDir dir;
        ASSERT_TRUE(WriteFileText(dir.File("x.cfg"), old));
        CIniFile ini(dir.path());
        ASSERT_TRUE(ini.Load("x.cfg"));
        ASSERT_TRUE(ini.SetValue("S", "k", c.value));
        ::chmod(dir.File("x.cfg").c_str(), c.fileMode);
        ::chmod(dir.path().c_str(), c.dirMode);
        int status = AsPlainUser(dir, [&] {
            if (c.diskFull) {
                // A file-size limit makes the write fail part-way, as a full disk does.
                std::signal(SIGXFSZ, SIG_IGN);
                struct rlimit small = {4096, 4096};
                ::setrlimit(RLIMIT_FSIZE, &small);
            }
            bool saved = ini.Save();
            return (saved ? 1 : 0) | (ini.IsModified() ? 2 : 0);
        });
        EXPECT_EQ(status, c.saved ? 1 : 2);
        EXPECT_EQ(ReadFileText(dir.File("x.cfg")), c.saved ? "[S]\nk=" + c.value + "\n" : old);
        EXPECT_EQ(FilesIn(dir.path()), 1u);
    }
}

TEST_F(IniFileTest, SaveKeepsPermissionsAndSymbolicLinks) {
    auto ini = Loaded("[S]\nk=1\n");
    ASSERT_EQ(::chmod(dir_.File("test.cfg").c_str(), 0640), 0);
    ASSERT_TRUE(ini->SetValue("S", "k", "2"));
    ASSERT_TRUE(ini->Save());
    struct stat st;
    ASSERT_EQ(::stat(dir_.File("test.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(FilesIn(dir_.path()), 1u);

    ASSERT_EQ(::symlink("test.cfg", dir_.File("link.cfg").c_str()), 0);
    CIniFile linked(dir_.path());
    ASSERT_TRUE(linked.Load("link.cfg"));
    ASSERT_TRUE(linked.SetValue("S", "k", "3"));
    ASSERT_TRUE(linked.Save());
    ASSERT_EQ(::lstat(dir_.File("link.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")), "[S]\nk=3\n");
}

}  // namespace
