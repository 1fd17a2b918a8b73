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
    // A store loaded from `text` written as "test.cfg".
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

struct Lookup {
    const char* section;
    const char* key;
    const char* expected;  // "<default>" when the default must come back
};

TEST_F(IniFileTest, ReadingRules) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<Lookup> lookups;
    };
    const std::vector<Case> cases = {
        {"blanks around '=' belong to key and value",
         "[DEFAULT]\nLISTENPORTNUMBER = 31777\n",
         {{"DEFAULT", "LISTENPORTNUMBER", "<default>"},
          {"DEFAULT", "LISTENPORTNUMBER ", " 31777"}}},
        {"inline comment: the last ';' and what follows are dropped",
         "[DEFAULT]\nJPEGQuality=60 ; percent\n[GlobalSettings]\nDevicePath=a;b;c\n",
         {{"DEFAULT", "JPEGQuality", "60 "}, {"GlobalSettings", "DevicePath", "a;b"}}},
        {"first section of a name wins",
         "[DEFAULT]\nA=1\n[Other]\nB=2\n[DEFAULT]\nA=3\nC=4\n",
         {{"DEFAULT", "A", "1"}, {"DEFAULT", "C", "<default>"}, {"Other", "B", "2"}}},
        {"last duplicate key wins", "[S]\nk=1\nk=2\nK=3\n", {{"S", "k", "3"}}},
        {"names ignore letter case",
         "[default]\nlistenportnumber=1\n",
         {{"DEFAULT", "LISTENPORTNUMBER", "1"}, {"Default", "ListenPortNumber", "1"}}},
        {"lines before the first header are in '#', which no lookup finds",
         "k=1\n[S]\nk=2\n",
         {{"#", "k", "<default>"}, {"S", "k", "2"}}},
        {"'[]' names a section with an empty name", "[]\nk=1\n", {{"", "k", "1"}}},
        {"a header without entries is invisible",
         "[S]\n[S]\nk=1\n[T]\n",
         {{"S", "k", "1"}, {"T", "k", "<default>"}}},
        {"comments equal nothing",
         "[S]\n#k=1\n# k\nk=2\n",
         {{"S", "#k", "<default>"}, {"S", "#k=1", "<default>"}, {"S", "k", "2"}}},
        {"trailing white space goes, leading stays",
         "[S] \t\r\n k=v \t\r\x0b\x0c\nk2=v2\r\n",
         {{"S", "k", "<default>"}, {"S", " k", "v"}, {"S", "k2", "v2"}}},
        {"blank lines are skipped", "\n\n  \n[S]\n\r\n\nk=v\n\n", {{"S", "k", "v"}}},
        {"a line without '=' is a key with an empty value",
         "[S]\nflag\n[\n",
         {{"S", "flag", ""}, {"S", "[", ""}}},
        {"only the first '=' splits", "[S]\nk==a=b\n", {{"S", "k", "=a=b"}}},
        {"an empty key", "[S]\n=v\n", {{"S", "", "v"}}},
        {"a zero byte ends its line",
         "[S]\nType=DirectShow\0junk\nk=v"s + std::string(100, '\0'),
         {{"S", "Type", "DirectShow"}, {"S", "k", "v"}}},
        {"a name starting with '#' is never found",
         "[#S]\nk=1\n",
         {{"#S", "k", "<default>"}, {"#s", "k", "<default>"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto ini = Loaded(c.text);
        for (const Lookup& l : c.lookups) {
            SCOPED_TRACE(std::string(l.section) + "/" + l.key);
            EXPECT_EQ(ini->GetValue(l.section, l.key, "<default>"), l.expected);
        }
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
    EXPECT_DOUBLE_EQ(ini->GetDouble("S", "decimal", 0), 2.5);
    EXPECT_DOUBLE_EQ(ini->GetDouble("S", "exp", 0), -150.0);
    EXPECT_DOUBLE_EQ(ini->GetDouble("S", "word", 9), 0.0);
    EXPECT_DOUBLE_EQ(ini->GetDouble("S", "absent", -1.0), -1.0);
}

TEST_F(IniFileTest, SaveWritesTheExactForm) {
    auto ini = Loaded(
        "top=1\n"
        "[A]\n"
        "\n"
        "# a comment = with equals\n"
        "x = 1 ; note\n"
        "flag\n"
        "=v\n"
        "[Empty]\n"
        "[]\n"
        "e=1\n"
        "[A]\n"
        "x=second\n"
        "[a]\n");
    ASSERT_TRUE(ini->SetValue("B", "k", "v"));
    ASSERT_TRUE(ini->Save());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")),
              "[#]\n"
              "top=1\n"
              "[A]\n"
              "# a comment = with equals\n"
              "x = 1 ; note\n"
              "flag=\n"
              "=v\n"
              "[]\n"
              "e=1\n"
              "[A]\n"
              "x=second\n"
              "[B]\n"
              "k=v\n");
    EXPECT_FALSE(ini->IsModified());
    // Read back, the empty-named section keeps its entries apart from [A].
    auto again = Loaded(ReadFileText(dir_.File("test.cfg")), "again.cfg");
    EXPECT_EQ(again->GetValue("", "e", "-"), "1");
    EXPECT_EQ(again->GetValue("A", "e", "-"), "-");
    EXPECT_EQ(again->GetValue("A", "", "-"), "v");
}

TEST_F(IniFileTest, SetValueRules) {
    auto ini = Loaded("[CameraSettings]\nOrientation=NORM\nName=a\nName=b\n[S]\n#c\n");
    // Equal but for letter case: the text changes, the file does not need to.
    ASSERT_TRUE(ini->SetValue("camerasettings", "ORIENTATION", "norm"));
    EXPECT_FALSE(ini->IsModified());
    EXPECT_EQ(ini->GetValue("CameraSettings", "Orientation", ""), "norm");
    ASSERT_TRUE(ini->Save());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")),
              "[CameraSettings]\nOrientation=NORM\nName=a\nName=b\n[S]\n#c\n");

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

TEST_F(IniFileTest, SetValueRefusesLineBreaksAndZeroBytes) {
    auto ini = Loaded("[CameraSettings]\nName=cam\n");
    // A camera name from a control-system client must not be able to add lines.
    EXPECT_FALSE(ini->SetValue("CameraSettings", "Name", "x\n[DEFAULT]\nLISTENPORTNUMBER=1"));
    EXPECT_FALSE(ini->SetValue("CameraSettings", "Name", std::string("x\0y", 3)));
    EXPECT_FALSE(ini->SetValue("Camera\nSettings", "Name", "x"));
    EXPECT_FALSE(ini->IsModified());
    EXPECT_EQ(ini->GetValue("CameraSettings", "Name", ""), "cam");
}

TEST_F(IniFileTest, MissingFileLoadsEmptyAndSaveCreatesItOnlyWhenSet) {
    CIniFile ini(dir_.path());
    EXPECT_FALSE(ini.Load("absent.cfg"));
    EXPECT_EQ(ini.Path(), dir_.File("absent.cfg"));
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

TEST_F(IniFileTest, UnchangedStoreDoesNotTouchTheFile) {
    auto ini = Loaded("[S]\nk=1\n");
    ASSERT_TRUE(ini->SetValue("S", "k", "1"));
    ASSERT_TRUE(WriteFileText(dir_.File("test.cfg"), "edited by hand\n"));
    EXPECT_TRUE(ini->Save());
    EXPECT_EQ(ReadFileText(dir_.File("test.cfg")), "edited by hand\n");
}

TEST_F(IniFileTest, FailedSaveKeepsStoreAndFile) {
    CIniFile missing(dir_.File("no-such-dir"));
    EXPECT_FALSE(missing.Load("x.cfg"));
    ASSERT_TRUE(missing.SetValue("S", "k", "v"));
    EXPECT_FALSE(missing.Save());
    EXPECT_TRUE(missing.IsModified());
    EXPECT_EQ(missing.GetValue("S", "k", ""), "v");

    if (::geteuid() == 0)
        GTEST_SKIP() << "the superuser writes into read-only directories and files";
    struct Case {
        const char* what;
        mode_t dirMode;
        mode_t fileMode;
    };
    for (const Case& c :
         {Case{"read-only directory", 0500, 0600}, Case{"read-only file", 0700, 0400}}) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ASSERT_TRUE(WriteFileText(dir.File("x.cfg"), "[S]\nk=old\n"));
        CIniFile ini(dir.path());
        ASSERT_TRUE(ini.Load("x.cfg"));
        ASSERT_TRUE(ini.SetValue("S", "k", "new"));
        ::chmod(dir.File("x.cfg").c_str(), c.fileMode);
        ::chmod(dir.path().c_str(), c.dirMode);
        EXPECT_FALSE(ini.Save());
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
    EXPECT_EQ(FilesInDir(), 1u) << "the temporary file is removed";
    EXPECT_TRUE(ini->Save());
    EXPECT_EQ(ini->GetValue("S", "k", ""), std::string(100000, 'n'));
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

// Lines built from the characters that carry meaning in the format.
std::string RandomIniText(std::mt19937& rng) {
    static const std::string alphabet = "[]=;# \t\r\v\f\naAbB0\x01\xe9";
    static const std::vector<std::string> pieces = {
        "[S]", "[s]", "[]", "[#]", "k=", "K=", "#", "=", "; c", "\n", "\r\n", std::string(1, '\0')};
    std::string text;
    int n = std::uniform_int_distribution<int>(0, 60)(rng);
    for (int i = 0; i < n; ++i) {
        if (rng() % 3 == 0)
            text += pieces[rng() % pieces.size()];
        else
            text += alphabet[rng() % alphabet.size()];
    }
    return text;
}

TEST_F(IniFileTest, RandomFilesRoundTrip) {
    std::mt19937 rng(20261206);
    for (int round = 0; round < 400; ++round) {
        std::string original = RandomIniText(rng);
        SCOPED_TRACE(::testing::PrintToString(original));
        auto first = Loaded(original, "first.cfg");
        std::string saved = first->Text();
        auto second = Loaded(saved, "second.cfg");
        EXPECT_EQ(second->Text(), saved);
        // Every lookup answers the same after the round trip.
        for (const auto& s : first->Sections()) {
            for (const auto& e : s.entries) {
                EXPECT_EQ(first->GetValue(s.name, e.key, "<none>"),
                          second->GetValue(s.name, e.key, "<none>"));
                EXPECT_EQ(first->GetValue(e.key, s.name, "<none>"),
                          second->GetValue(e.key, s.name, "<none>"));
            }
        }
        if (HasFailure())
            break;
    }
}

}  // namespace
