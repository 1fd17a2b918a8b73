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

    std::vector<std::string> PropertyNames() const {
        std::vector<std::string> names;
        for (const CSrv::Property& p : control_.Properties())
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
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM7");
    MinPollingRate = 100;
    EXPECT_EQ(InitializeControlSystem(config_, control_, &log_), 1);
    EXPECT_EQ(log_.lines, std::vector<std::string>{"Lumerix2 Directshow on CAM7"});

    ZeftRegistration reg = ZeftGetRegistration();
    EXPECT_EQ(reg.name, "CAM7");
    EXPECT_EQ(reg.subsystem, "TEST");
    EXPECT_EQ(reg.context, "TAVO");
    EXPECT_EQ(reg.description, "Grabber server control of CAM7");
    EXPECT_EQ(reg.location, "TAVO");
    EXPECT_EQ(reg.hardware, "none");
    EXPECT_EQ(reg.responsible, kControlContact);
    EXPECT_EQ(reg.portOffset, 11);
    EXPECT_EQ(MinPollingRate.load(), 8);

    EXPECT_TRUE(control_.Enabled());
    EXPECT_EQ(control_.EquipmentStatus(), 0);
    EXPECT_EQ(control_.EquipmentName(), "CAM7");
    EXPECT_EQ(control_.ExportName(), "CAM7");
    EXPECT_EQ(control_.Devices(), std::vector<std::string>{"LUMERIX"});

    std::vector<std::string> expected = {
        "C_CAMNAME",  "S_Servername", "C_ActiveSince",  "S_StartTime",      "C_CAMID",
        "S_SPOTDATA", "C_SCALE",      "C_DYNAMICSCALE", "C_ORIENTATION",    "C_WIDTH",
        "C_HEIGHT",   "S_START",      "S_STOP",         "S_isStarted",      "S_isStopped",
        "S_UPDATE",   "S_isUpdated",  "C_BPP",          "S_availVideodata", "S_COMPRESSION"};
    EXPECT_EQ(PropertyNames(), expected);
    struct Spot {
        const char* name;
        uint32_t reqSize;
        uint16_t reqFormat;
        uint32_t replySize;
        uint16_t replyFormat;
        int16_t access;
        const char* description;
    } spots[] = {
        {"C_CAMNAME", 32, 516, 1, 531, 3, "Grabber: read camera name string"},
        {"C_CAMID", 10, 516, 1, 531, 3, "Grabber: r/w camera id"},
        {"S_SPOTDATA", 1, 514, 1, 539, 3, "Grabber: Get spot size and position"},
        {"C_SCALE", 1, 512, 1, 512, 3, "Grabber: r/w scale factor of camera"},
        {"C_ORIENTATION", 20, 516, 1, 531, 3, "Grabber: rw rotation setting"},
        {"S_START", 1, 515, 1, 515, 2, "Grabber: write 1 to activate server"},
        {"S_availVideodata", 1, 515, 1, 515, 1, "Grabber: are frames coming in from card ?"},
        {"S_COMPRESSION", 1, 514, 1, 515, 1, "Grabber: read compression id"},
    };
    for (const Spot& s : spots) {
        const CSrv::Property* p = control_.FindProperty(s.name);
        ASSERT_NE(p, nullptr) << s.name;
        EXPECT_EQ(p->requestSize, s.reqSize) << s.name;
        EXPECT_EQ(p->requestFormat, s.reqFormat) << s.name;
        EXPECT_EQ(p->replySize, s.replySize) << s.name;
        EXPECT_EQ(p->replyFormat, s.replyFormat) << s.name;
        EXPECT_EQ(p->access, s.access) << s.name;
        EXPECT_EQ(p->description, s.description) << s.name;
        EXPECT_EQ(p->requestTag, "");
        EXPECT_EQ(p->replyTag, "");
    }

    // A reinitialisation with the same configuration succeeds again.
    log_.lines.clear();
    EXPECT_EQ(InitializeControlSystem(config_, control_, &log_), 1);
    EXPECT_EQ(log_.lines, std::vector<std::string>{"Lumerix2 Directshow on CAM7"});
    EXPECT_EQ(control_.Properties().size(), 20u);
}

TEST_F(RegistrationTest, ContextAndPortComeFromTheConfiguration) {
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM2");
    config_.SetValue("DEFAULT", "ZEFTCONTEXT", "LAB");
    config_.SetInt("DEFAULT", "ZEFTPORTNUMBER", 5);
    EXPECT_EQ(InitializeControlSystem(config_, control_, &log_), 1);
    EXPECT_EQ(ZeftGetRegistration().context, "LAB");
    EXPECT_EQ(ZeftGetRegistration().portOffset, 5);
}

TEST_F(RegistrationTest, FailuresAreLoggedOnceAndLeaveWhatWasDone) {
    struct Case {
        const char* what;
        const char* port;
        std::function<void(CSrv&)> before;
        std::vector<std::string> log;
        bool enabled;
        std::vector<std::string> declared;
    };
    CSrv other(&queue_);
    std::vector<Case> cases = {
        {"port offset out of range",
         "31",
         nullptr,
         {"Lumerix2 Directshow on CAM7", "ZEFT: Error in RegisterFecInformation: Status=-8"},
         false,
         {}},
        {"port offset beyond 16 bits",
         "65547",
         nullptr,
         {"Lumerix2 Directshow on CAM7", "ZEFT: Error in RegisterFecInformation: Status=-8"},
         false,
         {}},
        {"registered before with other values",
         "11",
         [](CSrv&) {
             RegisterFecInformation("OTHER", "TEST", "TAVO", "d", "TAVO", "none", "x", 11);
         },
         {"Lumerix2 Directshow on CAM7", "ZEFT: Error in RegisterFecInformation: Status=-10"},
         false,
         {}},
        {"equipment name held by another control",
         "11",
         [&](CSrv&) {
             RegisterFecInformation("CAM7", "TEST", "TAVO", "Grabber server control of CAM7",
                                    "TAVO", "none", kControlContact, 11);
             other.SetEquipmentName("CAM7");
             other.SetEnabled(true);
         },
         {"Lumerix2 Directshow on CAM7", "ZEFT: Init Controls: EqpStatus=-17"},
         true,
         {}},
        {"C_SCALE already declared otherwise",
         "11",
         [](CSrv& c) { c.AddProperty("C_SCALE", 1, 515, "", 1, 515, "", 1, "mine"); },
         {"Lumerix2 Directshow on CAM7", "ZEFT: Error registering property. Retval = -14"},
         true,
         {"C_SCALE", "C_CAMNAME", "S_Servername", "C_ActiveSince", "S_StartTime", "C_CAMID",
          "S_SPOTDATA"}},
    };
    for (const Case& c : cases) {
        ZeftShutdown();
        other.SetEnabled(false);
        CSrv control(&queue_);
        CLogRecorder log;
        config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM7");
        config_.SetValue("DEFAULT", "ZEFTPORTNUMBER", c.port);
        if (c.before)
            c.before(control);
        EXPECT_EQ(InitializeControlSystem(config_, control, &log), 0) << c.what;
        EXPECT_EQ(log.lines, c.log) << c.what;
        EXPECT_EQ(control.Enabled(), c.enabled) << c.what;
        std::vector<std::string> names;
        for (const CSrv::Property& p : control.Properties())
            names.push_back(p.name);
        EXPECT_EQ(names, c.declared) << c.what;
    }
}

}  // namespace
