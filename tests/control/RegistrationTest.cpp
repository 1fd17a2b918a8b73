#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LogSink.h"
#include "base/MessageQueue.h"
#include "config/IniFile.h"
#include "control/Registration.h"
#include "control/zeft/Srv.h"
#include "control/zeft/Zeft.h"
#include "tests/support/TempDir.h"

namespace {

class RegistrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ZeftShutdown();
        ZeftSetBasePort(0);
        config_.Load("Lumerix2.cfg");
    }
    void TearDown() override {
        ZeftShutdown();
        ZeftSetBasePort(kZeftBasePort);
    }

    static std::vector<std::string> Names(const CSrv& control) {
        std::vector<std::string> names;
        for (const CSrv::Property& p : control.Properties())
            names.push_back(p.name);
        return names;
    }

    TempDir dir_;
    CIniFile config_{dir_.path()};
    CLogRecorder log_;
    CMessageQueue queue_;
    CSrv control_{&queue_};
};

TEST_F(RegistrationTest, EmptyNameRegistersNothingAndLogsNothing) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value)
            config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", value);
        EXPECT_EQ(InitializeControlSystem(config_, control_, &log_), 0);
        EXPECT_EQ(ZeftGetRegistration().name, "");
        EXPECT_FALSE(control_.Enabled());
        EXPECT_TRUE(control_.Properties().empty());
        EXPECT_TRUE(log_.lines.empty());
    }
}

TEST_F(RegistrationTest, RegistersWithFallbacksAndDeclaresTheTableInOrder) {
    struct Case {
        const char* context;
        const char* port;
        std::string expectedContext;
        int expectedOffset;
    } cases[] = {{nullptr, nullptr, "TAVO", 11}, {"LAB", "5", "LAB", 5}};
    const std::vector<std::string> table = {
        "C_CAMNAME",  "S_Servername", "C_ActiveSince",  "S_StartTime",      "C_CAMID",
        "S_SPOTDATA", "C_SCALE",      "C_DYNAMICSCALE", "C_ORIENTATION",    "C_WIDTH",
        "C_HEIGHT",   "S_START",      "S_STOP",         "S_isStarted",      "S_isStopped",
        "S_UPDATE",   "S_isUpdated",  "C_BPP",          "S_availVideodata", "S_COMPRESSION"};
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM7");
    for (const Case& c : cases) {
        if (c.context) {
            ZeftShutdown();
            config_.SetValue("DEFAULT", "ZEFTCONTEXT", c.context);
            config_.SetValue("DEFAULT", "ZEFTPORTNUMBER", c.port);
        }
        // Run twice: a reinitialisation with the same configuration succeeds again.
        CSrv control(&queue_);
        for (int run = 0; run < 2; ++run) {
            MinPollingRate = 100;
            CLogRecorder log;
            EXPECT_EQ(InitializeControlSystem(config_, control, &log), 1);
            EXPECT_EQ(log.lines, std::vector<std::string>{"Lumerix2 Directshow on CAM7"});
            EXPECT_EQ(ZeftGetRegistration().name, "CAM7");
            EXPECT_EQ(ZeftGetRegistration().context, c.expectedContext);
            EXPECT_EQ(ZeftGetRegistration().portOffset, c.expectedOffset);
            EXPECT_EQ(MinPollingRate.load(), 8);
            EXPECT_EQ(control.EquipmentStatus(), 0);
            EXPECT_EQ(control.Devices(), std::vector<std::string>{"LUMERIX"});
            EXPECT_EQ(Names(control), table);
        }
    }
}

TEST_F(RegistrationTest, FailuresAreLoggedOnceAndLeaveWhatWasDone) {
    struct Case {
        const char* port;
        std::function<void(CSrv&)> before;
        std::string error;
        bool enabled;
        std::vector<std::string> declared;
    };
    CSrv other(&queue_);
    const char* rfi = "ZEFT: Error in RegisterFecInformation: Status=";
    std::vector<Case> cases = {
        {"31", nullptr, rfi + std::string("-8"), false, {}},
        {"65547", nullptr, rfi + std::string("-8"), false, {}},
        {"11",
         [](CSrv&) {
             RegisterFecInformation("OTHER", "TEST", "TAVO", "d", "TAVO", "none", "x", 11);
         },
         rfi + std::string("-10"),
         false,
         {}},
        {"11",
         [&](CSrv&) {
             RegisterFecInformation("CAM7", "TEST", "TAVO", "Grabber server control of CAM7",
                                    "TAVO", "none", kControlContact, 11);
             other.SetEquipmentName("CAM7");
             other.SetEnabled(true);
         },
         "ZEFT: Init Controls: EqpStatus=-17",
         true,
         {}},
        {"11",
         [](CSrv& c) { c.AddProperty("C_SCALE", 1, 515, "", 1, 515, "", 1, "mine"); },
         "ZEFT: Error registering property. Retval = -14",
         true,
         {"C_SCALE", "C_CAMNAME", "S_Servername", "C_ActiveSince", "S_StartTime", "C_CAMID",
          "S_SPOTDATA"}},
    };
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM7");
    for (const Case& c : cases) {
        ZeftShutdown();
        other.SetEnabled(false);
        CSrv control(&queue_);
        CLogRecorder log;
        config_.SetValue("DEFAULT", "ZEFTPORTNUMBER", c.port);
        if (c.before)
            c.before(control);
        EXPECT_EQ(InitializeControlSystem(config_, control, &log), 0) << c.error;
        EXPECT_EQ(log.lines, (std::vector<std::string>{"Lumerix2 Directshow on CAM7", c.error}));
        EXPECT_EQ(control.Enabled(), c.enabled) << c.error;
        EXPECT_EQ(Names(control), c.declared) << c.error;
    }
}

}  // namespace
