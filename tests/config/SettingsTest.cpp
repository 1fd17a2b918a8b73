#include "config/Settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LogSink.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kDefaultKeys =
    "MAXCLIENTS=255\nLISTENPORTNUMBER=31777\nMAXCLIENTSLOSSY=255\nLISTENPORTNUMBERLOSSY=31778\n"
    "LOSSYENABLED=0\n";
const std::string kZeftKeys =
    "ZEFTFRAMEEQPNAME=CAMSRV3F\nZEFTCONTROLEQPNAME=CAMSRV3\nZEFTPORTNUMBER=11\nZEFTCONTEXT=TAVO\n";
const std::string kCameraSection =
    "[CameraSettings]\nName=Camera 0\nScale=1.0000\nOrientation=NORM\nCAMID=0x01000000\n";
const std::string kSelvexSection = "[SELVEX]\nContext=TAVO\nServerName=SELVEX\nMandatorySELVEX=0\n";
const std::string kHttpSection =
    "[HTTP]\nEnabled=1\nPort=31780\nBindAddress=0.0.0.0\nMaxConnections=64\n"
    "MaxConnectionsPerAddress=8\n";
const std::string kFreshFile = "[DEFAULT]\n" + kDefaultKeys + "JPEGQuality=60\n" + kZeftKeys +
                               kCameraSection + kSelvexSection + kHttpSection;

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
    EXPECT_EQ(ReadSettings(*ini).jpegQuality, 60);

    // The next start finds a usable configuration and neither logs nor writes.
    log_.lines.clear();
    ASSERT_TRUE(WriteFileText(ConfigPath(), kFreshFile + "# kept\n"));
    auto again = Initialize();
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_EQ(ReadFileText(ConfigPath()), kFreshFile + "# kept\n");
}

TEST_F(SettingsTest, MissingListenPortWritesDefaultsOverTheFile) {
    ASSERT_TRUE(WriteFileText(ConfigPath(),
                              "# site notes\n[DEFAULT]\nJPEGQuality=90\nEXTRA=1\n"
                              "[CameraSettings]\nName=Beamline\n[Local]\na=b\n"));
    auto ini = Initialize();
    EXPECT_EQ(log_.lines, kDefaultsLogged);
    EXPECT_EQ(ReadFileText(ConfigPath()), "# site notes\n[DEFAULT]\nJPEGQuality=60\nEXTRA=1\n" +
                                              kDefaultKeys + kZeftKeys + kCameraSection +
                                              "[Local]\na=b\n" + kSelvexSection + kHttpSection);
}

TEST_F(SettingsTest, WhatCountsAsAUsableConfiguration) {
    const std::pair<const char*, bool> cases[] = {
        {"", false},
        {"[DEFAULT]\nLISTENPORTNUMBER=empty\n", false},
        {"[DEFAULT]\nLISTENPORTNUMBER=empty;unset\n", false},
        {"[DEFAULT]\nLISTENPORTNUMBER=empty ; unset\n", true},
        {"[DEFAULT]\nLISTENPORTNUMBER=EMPTY\n", true},
        {"[DEFAULT]\nLISTENPORTNUMBER=\n", true},
        {"[default]\nlistenportnumber=1\n", true},
    };
    for (auto [text, usable] : cases) {
        SCOPED_TRACE(text);
        log_.lines.clear();
        ASSERT_TRUE(WriteFileText(ConfigPath(), text));
        ASSERT_NE(Initialize(), nullptr);
        EXPECT_EQ(log_.lines.empty(), usable);
        EXPECT_EQ(ReadFileText(ConfigPath()) == text + kHttpSection, usable);
    }
}

TEST_F(SettingsTest, HttpSectionIsAddedOnceAndReadWithItsLimits) {
    ASSERT_TRUE(WriteFileText(ConfigPath(), "[DEFAULT]\nLISTENPORTNUMBER=1\n"));
    auto ini = Initialize();
    EXPECT_EQ(ReadFileText(ConfigPath()), "[DEFAULT]\nLISTENPORTNUMBER=1\n" + kHttpSection);
    const std::string own =
        "[DEFAULT]\nLISTENPORTNUMBER=1\n[HTTP]\nEnabled=0\nPort=8080\n"
        "BindAddress=127.0.0.1\nMaxConnections=5\nMaxConnectionsPerAddress=2\n";
    ASSERT_TRUE(WriteFileText(ConfigPath(), own));
    ini = Initialize();
    EXPECT_EQ(ReadFileText(ConfigPath()), own);
    const WebSettings http = ReadHttpSettings(*ini);
    EXPECT_FALSE(http.enabled);
    EXPECT_EQ(http.port, 8080);
    EXPECT_EQ(http.bindAddress, "127.0.0.1");
    EXPECT_EQ(http.maxConnections, 5);
    EXPECT_EQ(http.maxPerAddress, 2);
}

TEST_F(SettingsTest, UnwritableDirectoryKeepsDefaultsInMemory) {
    auto ini = InitializeIniFile(dir_.File("missing"), &log_, "CAMSRV3");
    ASSERT_NE(ini, nullptr);
    std::vector<std::string> expected = kDefaultsLogged;
    expected.push_back("Error saving default settings to Lumerix2.cfg in InitializeIniFile.");
    EXPECT_EQ(log_.lines, expected);
    EXPECT_EQ(ini->Text(), kFreshFile);
}

TEST_F(SettingsTest, CameraSettingsAreWrittenInOrder) {
    auto ini = Initialize();
    EXPECT_TRUE(WriteCameraSettings(*ini, {"Screen 4", 0.25, "ROT90CW", "0x02000001"}));
    ASSERT_TRUE(ini->Save());
    EXPECT_NE(ReadFileText(ConfigPath())
                  .find("[CameraSettings]\nName=Screen 4\nScale=0.250000\nOrientation=ROT90CW\n"
                        "CAMID=0x02000001\n"),
              std::string::npos);
    EXPECT_FALSE(WriteCameraSettings(*ini, {"evil\n[DEFAULT]", 1.0, "NORM", "0x3"}));
    EXPECT_EQ(ReadCameraSettings(*ini).name, "Screen 4");
}

TEST_F(SettingsTest, ARegionWriteKeepsTheStabilityWindow) {
    auto ini = Initialize();
    EXPECT_TRUE(WriteAnalysisSettings(*ini, {}, true));
    EXPECT_NE(ini->Text().find("[Analysis]\nRoiX=0\nRoiY=0\nRoiWidth=0\nRoiHeight=0\n"
                               "StabilityFrames=1024\n"),
              std::string::npos);
    ini->SetInt("Analysis", "StabilityFrames", 4096);
    EXPECT_TRUE(WriteAnalysisSettings(*ini, {1, 2, 30, 40}));
    const AnalysisSettings a = ReadAnalysisSettings(*ini);
    EXPECT_EQ(a.roiWidth, 30);
    EXPECT_EQ(a.stabilityFrames, 4096);
}

TEST(ComputerName, HostNameUpToTheFirstDotInUpperCase) {
    EXPECT_EQ(ComputerNameFromHostName("camsrv3.example.org"), "CAMSRV3");
    EXPECT_EQ(ComputerNameFromHostName("Cam-Srv_3"), "CAM-SRV_3");
    EXPECT_EQ(ComputerNameFromHostName(""), "");
}

}  // namespace
