#include "config/IniFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

using namespace std::string_literals;

namespace {

class IniFileTest : public ::testing::Test {
  protected:
    std::unique_ptr<CIniFile> Loaded(const std::string& text,
                                     const std::string& name = "test.cfg") {
        EXPECT_TRUE(WriteFileText(dir_.File(name), text));
        auto ini = std::make_unique<CIniFile>(dir_.path());
        EXPECT_TRUE(ini->Load(name));
        return ini;
    }
    size_t FilesInDir() const {
        size_t n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir_.path()))
            ++n;
        return n;
    }

    TempDir dir_;
};

TEST_F(IniFileTest, ReadingRules) {
    const std::string D = "<default>";
    struct {
        std::string text, section, key, expected;
    } cases[] = {
        // Blanks around '=' belong to key and value.
        {"[D]\nPORT = 31777\n", "D", "PORT", D},
        {"[D]\nPORT = 31777\n", "D", "PORT ", " 31777"},
        // Inline comment: the last ';' and what follows are dropped.
        {"[D]\nJPEGQuality=60 ; percent\n", "D", "JPEGQuality", "60 "},
        {"[G]\nDevicePath=a;b;c\n", "G", "DevicePath", "a;b"},
        {"[D]\nA=1\n[O]\nB=2\n[D]\nA=3\nC=4\n", "D", "A", "1"},  // first section wins
        {"[D]\nA=1\n[O]\nB=2\n[D]\nA=3\nC=4\n", "D", "C", D},
        {"[D]\nA=1\n[O]\nB=2\n[D]\nA=3\nC=4\n", "O", "B", "2"},
        {"[S]\nk=1\nk=2\nK=3\n", "s", "k", "3"},  // last duplicate wins; case is ignored
        {"k=1\n[S]\nk=2\n", "#", "k", D},         // lines before the first header
        {"k=1\n[S]\nk=2\n", "S", "k", "2"},
        {"[]\nk=1\n", "", "k", "1"},
        {"[S]\n[S]\nk=1\n[T]\n", "S", "k", "1"},  // a header without entries is invisible
        {"[S]\n[S]\nk=1\n[T]\n", "T", "k", D},
        {"[S]\n#k=1\n# k\nk=2\n", "S", "#k", D},
        {"[S]\n#k=1\n# k\nk=2\n", "S", "#k=1", D},
        {"[S]\n#k=1\n# k\nk=2\n", "S", "k", "2"},
        // Trailing white space goes, leading stays.
        {"[S] \t\r\n k=v \t\r\x0b\x0c\nk2=v2\r\n", "S", "k", D},
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
        EXPECT_FALSE(ini->IsModified());
    }
}

TEST_F(IniFileTest, LongLinesAreReadWholeUpToTheFileBound) {
    std::string value(CIniFile::kMaxFileBytes / 2, 'x');
    value[100000] = 'y';
    auto ini = Loaded("[S]\nk=" + value + "\nk2=z\n");
    EXPECT_EQ(ini->GetValue("S", "k", ""), value);
    EXPECT_EQ(ini->GetValue("S", "k2", ""), "z");

    // "port=31777" crosses the bound: it is dropped whole, not read cut short.
    std::string head = "[S]\nk=" + std::string(CIniFile::kMaxFileBytes - 12, 'x') + "\n";
    ini = Loaded(head + "port=31777\n" + std::string(100, 'y') + "\n");
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
              "[#]\ntop=1\n[A]\n# a comment = with equals\nx = 1 ; note\nflag=\n=v\n[]\ne=1\n"
              "[A]\nx=second\n[B]\nk=v\n");
    EXPECT_FALSE(ini->IsModified());
}

TEST_F(IniFileTest, SetValueRules) {
    auto ini = Loaded("[CameraSettings]\nOrientation=NORM\nName=a\nName=b\n[S]\n#c\n");
    // Equal but for letter case: the text changes, the file does not need to.
    ASSERT_TRUE(ini->SetValue("camerasettings", "ORIENTATION", "norm"));
    EXPECT_FALSE(ini->IsModified());
    EXPECT_EQ(ini->GetValue("CameraSettings", "Orientation", ""), "norm");
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
    EXPECT_EQ(ini->GetInt("New", "Port", 0), -31777);
}

TEST_F(IniFileTest, MissingFileLoadsEmptyAndSaveCreatesItOnlyWhenSet) {
    CIniFile ini(dir_.path());
    EXPECT_FALSE(ini.Load("absent.cfg"));
    EXPECT_EQ(ini.GetValue("DEFAULT", "LISTENPORTNUMBER", "empty"), "empty");
    EXPECT_TRUE(ini.Save());
    EXPECT_FALSE(FileExists(dir_.File("absent.cfg")));
    ASSERT_TRUE(ini.SetInt("DEFAULT", "LISTENPORTNUMBER", 31777));
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(ReadFileText(dir_.File("absent.cfg")), "[DEFAULT]\nLISTENPORTNUMBER=31777\n");

    CIniFile notAFile(dir_.path());
    ::mkdir(dir_.File("sub").c_str(), 0700);
    EXPECT_FALSE(notAFile.Load("sub"));
}

TEST_F(IniFileTest, FailedSaveKeepsStoreAndFile) {
    CIniFile missing(dir_.File("no-such-dir"));
    ASSERT_TRUE(missing.SetValue("S", "k", "v"));
    EXPECT_FALSE(missing.Save());
    EXPECT_TRUE(missing.IsModified());
    if (::geteuid() == 0)
        GTEST_SKIP() << "the superuser writes into read-only directories and files";
    for (auto [dirMode, fileMode] : {std::pair<mode_t, mode_t>{0500, 0600}, {0700, 0400}}) {
        TempDir dir;
        ASSERT_TRUE(WriteFileText(dir.File("x.cfg"), "[S]\nk=old\n"));
        CIniFile ini(dir.path());
        ASSERT_TRUE(ini.Load("x.cfg"));
        ASSERT_TRUE(ini.SetValue("S", "k", "new"));
        ::chmod(dir.File("x.cfg").c_str(), fileMode);
        ::chmod(dir.path().c_str(), dirMode);
        EXPECT_FALSE(ini.Save()) << dirMode;
        EXPECT_TRUE(ini.IsModified());
        EXPECT_EQ(ReadFileText(dir.File("x.cfg")), "[S]\nk=old\n");
        ::chmod(dir.path().c_str(), 0700);
    }
}

TEST_F(IniFileTest, SaveThatRunsOutOfSpaceLeavesTheOldFile) {
    auto ini = Loaded("[S]\nk=old\n");
    ASSERT_TRUE(ini->SetValue("S", "k", std::string(100000, 'n')));
    // A file-size limit makes the write fail part-way, as a full disk does.
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved = ini->Save();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_TRUE(ini->IsModified());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")), "[S]\nk=old\n");
    EXPECT_EQ(FilesInDir(), 1u);  // the temporary file is removed
    EXPECT_TRUE(ini->Save());
}

TEST_F(IniFileTest, SaveKeepsPermissionsAndSymbolicLinks) {
    auto ini = Loaded("[S]\nk=1\n");
    ASSERT_EQ(::chmod(dir_.File("test.cfg").c_str(), 0640), 0);
    ASSERT_TRUE(ini->SetValue("S", "k", "2"));
    ASSERT_TRUE(ini->Save());
    struct stat st;
    ASSERT_EQ(::stat(dir_.File("test.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(FilesInDir(), 1u);

    ASSERT_EQ(::symlink("test.cfg", dir_.File("link.cfg").c_str()), 0);
    CIniFile linked(dir_.path());
    ASSERT_TRUE(linked.Load("link.cfg"));
    ASSERT_TRUE(linked.SetValue("S", "k", "3"));
    ASSERT_TRUE(linked.Save());
    ASSERT_EQ(::lstat(dir_.File("link.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")), "[S]\nk=3\n");
}

TEST_F(IniFileTest, RandomFilesRoundTrip) {
    std::mt19937 rng(20261206);
    for (int round = 0; round < 400; ++round) {
        // Lines built from the characters and pieces that carry meaning in the format.
        static const std::vector<std::string> pieces = {
            "[S]", "[s]", "[]", "[#]", "k=", "K=", "#", "=",    "; c",  "\n", "\r\n", "\0"s, "\t",
            "\v",  "\f",  "\r", " ",   "a",  "B",  "0", "\x01", "\xe9", "[",  "]",    ";"};
        std::string original;
        for (int n = rng() % 60; n > 0; --n)
            original += pieces[rng() % pieces.size()];
        SCOPED_TRACE(::testing::PrintToString(original));
        auto first = Loaded(original, "first.cfg");
        std::string saved = first->Text();
        auto second = Loaded(saved, "second.cfg");
        EXPECT_EQ(second->Text(), saved);
        for (const auto& s : first->Sections())
            for (const auto& e : s.entries) {
                EXPECT_EQ(first->GetValue(s.name, e.key, "<none>"),
                          second->GetValue(s.name, e.key, "<none>"));
                EXPECT_EQ(first->GetValue(e.key, s.name, "<none>"),
                          second->GetValue(e.key, s.name, "<none>"));
            }
        if (HasFailure())
            break;
    }
}

}  // namespace
