#include "config/Settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LogSink.h"
#include "tests/support/TempDir.h"

namespace {

const char kFreshFile[] =
    "[DEFAULT]\n"
    "MAXCLIENTS=255\n"
    "LISTENPORTNUMBER=31777\n"
    "MAXCLIENTSLOSSY=255\n"
    "LISTENPORTNUMBERLOSSY=31778\n"
    "LOSSYENABLED=0\n"
    "JPEGQuality=60\n"
    "ZEFTFRAMEEQPNAME=CAMSRV3F\n"
    "ZEFTCONTROLEQPNAME=CAMSRV3\n"
    "ZEFTPORTNUMBER=11\n"
    "ZEFTCONTEXT=TAVO\n"
    "[CameraSettings]\n"
    "Name=Camera 0\n"
    "Scale=1.0000\n"
    "Orientation=NORM\n"
    "CAMID=0x01000000\n"
    "[SELVEX]\n"
    "Context=TAVO\n"
    "ServerName=SELVEX\n"
    "MandatorySELVEX=0\n";

const std::vector<std::string> kDefaultsLogged = {
    "Config file (\"Lumerix2.cfg\") could not be properly opened or is empty.",
    "Default config is written. Please check!"};

class SettingsTest : public ::testing::Test {
  protected:
    std::string ConfigPath() const { return dir_.File("Lumerix2.cfg"); }
    std::unique_ptr<CIniFile> Initialize() {
        return InitializeIniFile(dir_.path(), &log_, "CAMSRV3");
    }

    TempDir dir_;
    CLogRecorder log_;
};

TEST_F(SettingsTest, NoFileWritesTheDefaults) {
    auto ini = Initialize();
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(log_.lines, kDefaultsLogged);
    EXPECT_EQ(ReadFileText(ConfigPath()), kFreshFile);
    EXPECT_FALSE(ini->IsModified());

    Settings s = ReadSettings(*ini);
    EXPECT_FALSE(s.network.LossyEnabled());
    EXPECT_EQ(s.jpegQuality, 60);
    EXPECT_DOUBLE_EQ(s.camera.scale, 1.0);

    // The next start finds a usable configuration and neither logs nor writes.
    log_.lines.clear();
    ASSERT_TRUE(WriteFileText(ConfigPath(), std::string(kFreshFile) + "# kept\n"));
    auto again = Initialize();
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_EQ(ReadFileText(ConfigPath()), std::string(kFreshFile) + "# kept\n");
}

TEST_F(SettingsTest, OnlyListenPortGivesEveryFallback) {
    const std::string text = "[DEFAULT]\nLISTENPORTNUMBER=4000\n";
    ASSERT_TRUE(WriteFileText(ConfigPath(), text));
    auto ini = Initialize();
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_EQ(ReadFileText(ConfigPath()), text);

    // The fallbacks that differ from the written defaults.
    Settings s = ReadSettings(*ini);
    EXPECT_EQ(s.network.listenPort, 4000);
    EXPECT_TRUE(s.network.LossyEnabled());
    EXPECT_EQ(s.jpegQuality, 30);
    EXPECT_EQ(s.network.zeftFrameEqpName, "");
    EXPECT_EQ(s.zeft.controlEqpName, "");
    EXPECT_EQ(s.camera.name, "DefaultCamName");
    EXPECT_EQ(s.camera.camId, "0x0");
    EXPECT_EQ(s.selvex.serverName, "");
}

TEST_F(SettingsTest, MissingListenPortWritesDefaultsOverTheFile) {
    ASSERT_TRUE(WriteFileText(ConfigPath(),
                              "# site notes\n"
                              "[DEFAULT]\n"
                              "JPEGQuality=90\n"
                              "EXTRA=1\n"
                              "[CameraSettings]\n"
                              "Name=Beamline\n"
                              "[Local]\n"
                              "a=b\n"));
    auto ini = Initialize();
    EXPECT_EQ(log_.lines, kDefaultsLogged);
    EXPECT_EQ(ReadFileText(ConfigPath()),
              "[#]\n"
              "# site notes\n"
              "[DEFAULT]\n"
              "JPEGQuality=60\n"
              "EXTRA=1\n"
              "MAXCLIENTS=255\n"
              "LISTENPORTNUMBER=31777\n"
              "MAXCLIENTSLOSSY=255\n"
              "LISTENPORTNUMBERLOSSY=31778\n"
              "LOSSYENABLED=0\n"
              "ZEFTFRAMEEQPNAME=CAMSRV3F\n"
              "ZEFTCONTROLEQPNAME=CAMSRV3\n"
              "ZEFTPORTNUMBER=11\n"
              "ZEFTCONTEXT=TAVO\n"
              "[CameraSettings]\n"
              "Name=Camera 0\n"
              "Scale=1.0000\n"
              "Orientation=NORM\n"
              "CAMID=0x01000000\n"
              "[Local]\n"
              "a=b\n"
              "[SELVEX]\n"
              "Context=TAVO\n"
              "ServerName=SELVEX\n"
              "MandatorySELVEX=0\n");
}

TEST_F(SettingsTest, WhatCountsAsAUsableConfiguration) {
    struct Case {
        const char* text;
        bool usable;
    };
    const Case cases[] = {
        {"", false},
        {"[DEFAULT]\nLISTENPORTNUMBER=empty\n", false},
        {"[DEFAULT]\nLISTENPORTNUMBER=empty;unset\n", false},
        {"[DEFAULT]\nLISTENPORTNUMBER=empty ; unset\n", true},
        {"[DEFAULT]\nLISTENPORTNUMBER=EMPTY\n", true},
        {"[DEFAULT]\nLISTENPORTNUMBER=\n", true},
        {"[default]\nlistenportnumber=1\n", true},
        {"[DEFAULT]\nLISTENPORTNUMBER = 1\n", false},
        {"[Other]\nLISTENPORTNUMBER=1\n", false},
        {"LISTENPORTNUMBER=1\n", false},
        {"[DEFAULT]\n[DEFAULT]\nLISTENPORTNUMBER=1\n", true},
        {"[DEFAULT]\nX=1\n[DEFAULT]\nLISTENPORTNUMBER=1\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        log_.lines.clear();
        ASSERT_TRUE(WriteFileText(ConfigPath(), c.text));
        auto ini = Initialize();
        ASSERT_NE(ini, nullptr);
        EXPECT_EQ(log_.lines.empty(), c.usable);
        EXPECT_EQ(ReadFileText(ConfigPath()) == c.text, c.usable);
    }
}

TEST_F(SettingsTest, LossyChannelNeedsExactlyOne) {
    for (auto [value, enabled] : std::vector<std::pair<const char*, bool>>{
             {"1", true}, {"0", false}, {"2", false}, {"-1", false}, {"1 ; on", true}}) {
        CIniFile ini(dir_.path());
        ASSERT_TRUE(WriteFileText(ConfigPath(), std::string("[DEFAULT]\nLOSSYENABLED=") + value));
        ini.Load("Lumerix2.cfg");
        EXPECT_EQ(ReadNetworkSettings(ini).LossyEnabled(), enabled) << value;
    }
}

TEST_F(SettingsTest, UnwritableDirectoryKeepsDefaultsInMemory) {
    auto ini = InitializeIniFile(dir_.File("missing"), &log_, "CAMSRV3");
    ASSERT_NE(ini, nullptr);
    std::vector<std::string> expected = kDefaultsLogged;
    expected.push_back("Error saving default settings to Lumerix2.cfg in InitializeIniFile.");
    EXPECT_EQ(log_.lines, expected);
    EXPECT_EQ(ini->Text(), kFreshFile);
    EXPECT_EQ(ReadSettings(*ini).jpegQuality, 60);
}

TEST_F(SettingsTest, CameraSettingsAreWrittenInOrder) {
    auto ini = Initialize();
    StoredCameraSettings cam{"Screen 4", 0.25, "ROT90CW", "0x02000001"};
    EXPECT_TRUE(WriteCameraSettings(*ini, cam));
    ASSERT_TRUE(ini->Save());
    StoredCameraSettings back = ReadCameraSettings(*ini);
    EXPECT_EQ(back.name, "Screen 4");
    EXPECT_DOUBLE_EQ(back.scale, 0.25);
    EXPECT_EQ(back.orientation, "ROT90CW");
    EXPECT_EQ(back.camId, "0x02000001");
    std::string text = ReadFileText(ConfigPath());
    EXPECT_NE(text.find("[CameraSettings]\nName=Screen 4\nScale=0.250000\nOrientation=ROT90CW\n"
                        "CAMID=0x02000001\n"),
              std::string::npos)
        << text;

    // A name carrying a line break is refused; the other keys are still written.
    cam.name = "evil\n[DEFAULT]";
    cam.camId = "0x3";
    EXPECT_FALSE(WriteCameraSettings(*ini, cam));
    EXPECT_EQ(ReadCameraSettings(*ini).name, "Screen 4");
    EXPECT_EQ(ReadCameraSettings(*ini).camId, "0x3");
}

TEST(ComputerName, HostNameUpToTheFirstDotInUpperCase) {
    EXPECT_EQ(ComputerNameFromHostName("camsrv3.example.org"), "CAMSRV3");
    EXPECT_EQ(ComputerNameFromHostName("Cam-Srv_3"), "CAM-SRV_3");
    EXPECT_EQ(ComputerNameFromHostName(""), "");
    std::string own = ComputerName();
    EXPECT_EQ(own.find('.'), std::string::npos);
    EXPECT_EQ(ComputerNameFromHostName(own), own);
}

}  // namespace
