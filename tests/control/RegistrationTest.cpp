#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "config/IniFile.h"
#include "control/Registration.h"
#include "tests/support/LogRecorder.h"
#include "tests/zeft/ZeftTestSupport.h"

namespace {

using Outcome = std::pair<int, std::vector<std::string>>;  // result and log lines

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

    Outcome Initialize(CSrv& control) {
        CLogRecorder log;
        int rc = InitializeControlSystem(config_, control, &log);
        return {rc, log.lines};
    }
    static Outcome Failed(const std::string& error) {
        return {0, {"Lumerix2 Directshow on CAM7", error}};
    }
    static std::vector<std::string> Names(const CSrv& control) {
        std::vector<std::string> names;
        for (const CSrv::Property& p : control.Properties())
            names.push_back(p.name);
        return names;
    }

    TempDir dir_;
    CIniFile config_{dir_.path()};
    CMessageQueue queue_;
};

TEST_F(RegistrationTest, RegistersWithFallbacksAndDeclaresTheTableInOrder) {
    CSrv control(&queue_);
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "");
    EXPECT_EQ(Initialize(control), Outcome(0, {}));  // no name: nothing, not even a log line
    EXPECT_EQ(ZeftGetRegistration().name, "");
    EXPECT_FALSE(control.Enabled());

    // Client-visible names, in the order clients list them.
    std::vector<std::string> table = {
        "C_CAMNAME",  "S_Servername", "C_ActiveSince",  "S_StartTime",      "C_CAMID",
        "S_SPOTDATA", "C_SCALE",      "C_DYNAMICSCALE", "C_ORIENTATION",    "C_WIDTH",
        "C_HEIGHT",   "S_START",      "S_STOP",         "S_isStarted",      "S_isStopped",
        "S_UPDATE",   "S_isUpdated",  "C_BPP",          "S_availVideodata", "S_COMPRESSION",
        "X_HEALTH"};
    table.insert(table.end(), {"X_BEAM", "X_ROI", "X_DARK", "X_STABILITY"});
    struct {
        const char* context;  // null: the defaults
        const char* port;
        std::string expectedContext;
        int expectedOffset;
    } cases[] = {{nullptr, nullptr, "TAVO", 11}, {"LAB", "5", "LAB", 5}};
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM7");
    for (const auto& c : cases) {
        if (c.context) {
            ZeftShutdown();
            config_.SetValue("DEFAULT", "ZEFTCONTEXT", c.context);
            config_.SetValue("DEFAULT", "ZEFTPORTNUMBER", c.port);
        }
        // Twice: a reinitialisation with the same configuration succeeds again.
        CSrv cam(&queue_);
        for (int run = 0; run < 2; ++run) {
            MinPollingRate = 100;
            EXPECT_EQ(Initialize(cam), Outcome(1, {"Lumerix2 Directshow on CAM7"}));
            EXPECT_EQ(ZeftGetRegistration().context, c.expectedContext);
            EXPECT_EQ(ZeftGetRegistration().portOffset, c.expectedOffset);
            EXPECT_EQ(MinPollingRate.load(), 8);
            EXPECT_EQ(cam.EquipmentStatus(), 0);
            EXPECT_EQ(cam.Devices(), std::vector<std::string>{"LUMERIX"});
            EXPECT_EQ(Names(cam), table);
        }
    }
}

TEST_F(RegistrationTest, FailuresAreLoggedOnceAndLeaveWhatWasDone) {
    const std::string rfi = "ZEFT: Error in RegisterFecInformation: Status=";
    config_.SetValue("DEFAULT", "ZEFTCONTROLEQPNAME", "CAM7");
    for (const char* port : {"31", "65547"}) {  // 65547 must not wrap into offset 11
        config_.SetValue("DEFAULT", "ZEFTPORTNUMBER", port);
        CSrv control(&queue_);
        EXPECT_EQ(Initialize(control), Failed(rfi + "-8")) << port;
        EXPECT_FALSE(control.Enabled());
    }
    config_.SetValue("DEFAULT", "ZEFTPORTNUMBER", "11");
    Register("OTHER", 11);
    CSrv again(&queue_);  // a reconfiguration replaces the registration
    EXPECT_EQ(Initialize(again).first, 1);

    ZeftShutdown();
    RegisterFecInformation("CAM7", "TEST", "TAVO", "Grabber server control of CAM7", "TAVO", "none",
                           kControlContact, 11);
    CSrv other(&queue_), inUse(&queue_), declared(&queue_);
    other.SetEquipmentName("CAM7");
    other.SetEnabled(true);
    EXPECT_EQ(Initialize(inUse), Failed("ZEFT: Init Controls: EqpStatus=-17"));
    EXPECT_TRUE(inUse.Enabled());
    EXPECT_TRUE(Names(inUse).empty());
    other.SetEnabled(false);
    declared.AddProperty("C_SCALE", 1, kZeftFormatInt, "", 1, kZeftFormatInt, "", kZeftRead, "");
    EXPECT_EQ(Initialize(declared), Failed("ZEFT: Error registering property. Retval = -14"));
    EXPECT_EQ(Names(declared),
              (std::vector<std::string>{"C_SCALE", "C_CAMNAME", "S_Servername", "C_ActiveSince",
                                        "S_StartTime", "C_CAMID", "S_SPOTDATA"}));
}

TEST_F(RegistrationTest, BadValuesAreRefusedAndTheOffsetGivesThePort) {
    CSrv early(&queue_);
    early.SetEquipmentName("EARLY");
    early.SetEnabled(true);
    EXPECT_EQ(early.EquipmentStatus(), kZeftNotRegistered);
    for (int offset : {kZeftMaxPortOffset + 1, -1})
        EXPECT_EQ(Register("A", offset), kZeftInvalidArgument);
    EXPECT_EQ(Register("", 1), kZeftInvalidArgument);
    EXPECT_EQ(Register("A", 3), 0);
    EXPECT_EQ(Register("A", 3), 0);
    EXPECT_EQ(_SystemScheduleProperty("A", "X"), 0);
    early.SetEnabled(true);  // enabling again after the registration serves
    EXPECT_EQ(early.EquipmentStatus(), 0);
    ZeftShutdown();
    EXPECT_EQ(ZeftGetRegistration().name, "");
    EXPECT_EQ(_SystemScheduleProperty("A", "X"), kZeftNotRegistered);

    // Base plus offset gives the port: learn a free one, then ask for it as base + 2.
    ASSERT_EQ(Register("P", 0), 0);
    uint16_t free = ZeftGetRegistration().port;
    ZeftShutdown();
    ZeftSetBasePort(static_cast<uint16_t>(free - 2));
    ASSERT_EQ(Register("P", 2), 0);
    EXPECT_EQ(ZeftGetRegistration().port, free);
}

// Client writers read the protocol page alone: every property the server declares must
// stand in its table exactly as declared.
TEST(ProtocolPageTest, ListsEveryDeclaredPropertyAsDeclared) {
    std::ifstream in(LX_SOURCE_DIR "/docs/zeft-protocol.md");
    std::stringstream page;
    page << in.rdbuf();
    ASSERT_FALSE(page.str().empty());
    for (const ControlPropertyDef& p : kControlProperties) {
        std::ostringstream row;
        row << "| " << p.name << " | " << p.requestSize << " \u00d7 " << p.requestFormat << " | "
            << p.replySize << " \u00d7 " << p.replyFormat << " | " << p.access << " | "
            << p.description << " |\n";
        EXPECT_NE(page.str().find(row.str()), std::string::npos) << row.str();
    }
}

}  // namespace
