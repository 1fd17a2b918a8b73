// The windows and dialogs, driven by control id on the offscreen platform.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QtTest/QTest>
#include <algorithm>
#include <cstdlib>

#include "capture/AravisBackend.h"
#include "capture/SyntheticCamera.h"
#include "capture/V4l2Backend.h"
#include "config/IniFile.h"
#include "core/MainDlg.h"
#include "processing/PixelConversion.h"
#include "tests/capture/ScriptedV4l2.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/Program.h"
#include "tests/support/TempDir.h"
#include "ui/ConfigDialog.h"
#include "ui/MainWindow.h"
#include "ui/MessageBox.h"
#include "ui/PreviewDialog.h"
#include "zeft/Zeft.h"

namespace {

// Saves `widget` at its natural size as SCREENSHOT_DIR/<name>.png for a look by eye.
void Screenshot(QWidget* widget, const char* name) {
    widget->show();
    widget->adjustSize();
    QDir().mkpath(SCREENSHOT_DIR);
    EXPECT_TRUE(widget->grab().save(QString(SCREENSHOT_DIR) + "/" + name + ".png"));
}

// Runs `act` on the modal dialog that `open` runs, as soon as it shows.
void WithModal(const std::function<void()>& open, const std::function<void(QDialog*)>& act) {
    QTimer::singleShot(0,
                       [act] { act(qobject_cast<QDialog*>(QApplication::activeModalWidget())); });
    open();
}

template <typename W>
W* Find(QWidget* parent, int id) {
    return parent->findChild<W*>(QString::number(id));
}

TEST(MainWindowTest, ShowsTheModelByIdAndOpensTheAboutBox) {
    CDialogModel model;
    model.SetTitle("Lumerix2 Directshow");
    const int fields[] = {1013, 1021, 1028, 1029, 1086, 1066, 1067, 1068,
                          1069, 1073, 1074, 1075, 1076, 1077, 1078, 1079};
    for (int id : fields)
        model.SetText(id, "v" + std::to_string(id));
    model.SetChecked(1058, true);
    model.SetEnabled(1087, false);
    model.SetText(1003, "Messages:\r\nGrabbing started.\r\n");
    CMainWindow window(model, {});
    Screenshot(&window, "main-window");

    for (int id : fields) {
        auto* edit = Find<QLineEdit>(&window, id);
        ASSERT_NE(edit, nullptr) << id;
        EXPECT_TRUE(edit->isReadOnly()) << id;
        EXPECT_EQ(edit->text().toStdString(), "v" + std::to_string(id));
    }
    EXPECT_TRUE(Find<QCheckBox>(&window, 1058)->isChecked());
    EXPECT_FALSE(Find<QLabel>(&window, 1087)->isEnabled());
    model.SetText(1013, "25.00");
    EXPECT_EQ(Find<QLineEdit>(&window, 1013)->text(), "25.00");

    QString title;
    WithModal([&] { window.findChild<QAction*>("16")->trigger(); },
              [&](QDialog* about) {
                  title = about->windowTitle();
                  Screenshot(about, "about");
                  Find<QPushButton>(about, 1)->click();
              });
    EXPECT_EQ(title, "About Lumerix2");
}

const char kConfig[] = "[DEFAULT]\nLISTENPORTNUMBER=31777\nJPEGQuality=95\nLOSSYENABLED=0\n";
const char kHardware[] =
    "[GlobalSettings]\nType=DirectShow\nDevicePath=synthetic:0\n"
    "DeviceVideoMode=5\nLimitFramerate=-1\n";

class ConfigDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        SetMessageBoxHook([this](QWidget*, const QString& text, MessageIcon) {
            messages_.push_back(text.toStdString());
        });
    }
    void TearDown() override { SetMessageBoxHook({}); }
    void Reset() {
        WriteFileText(dir_.File("Lumerix2.cfg"), kConfig);
        WriteFileText(dir_.File("curhardware.cfg"), kHardware);
        config_.Load("Lumerix2.cfg");
        hardware_.Load("curhardware.cfg");
    }
    std::unique_ptr<CConfigDialog> Open(std::vector<ICaptureBackend*> backends) {
        return std::make_unique<CConfigDialog>(config_, hardware_, nullptr, backends);
    }
    std::string Default(const char* key) { return config_.GetValue("DEFAULT", key, "<none>"); }
    std::string Global(const char* key) {
        return hardware_.GetValue("GlobalSettings", key, "<none>");
    }

    TempDir dir_;
    CIniFile config_{dir_.path()};
    CIniFile hardware_{dir_.path()};
    CSyntheticBackend synthetic_;
    std::vector<std::string> messages_;
};

TEST_F(ConfigDialogTest, ValidatesInOrderAndStoresAsTyped) {
    const std::string port = "The listen port number is not in the desired range (0-65535) !";
    const std::string rate =
        "The maximum framerate must be greater than 0 Hz and not contain illegal characters!";
    const std::string offset = "The zeft port offset is not in the desired range (0-30) !";
    const std::string clients =
        "The maximum number of Socket clients is not in the desired range (0-255) !";
    const struct {
        std::vector<std::pair<int, QString>> edits;
        bool limit;
        std::string message;  // empty: accepted
    } rows[] = {
        {{{1003, "65535"}}, false, ""},
        {{{1003, "65536"}}, false, port},
        {{{1003, "-1"}}, false, port},
        {{{1003, "8080abc"}, {1012, ""}}, false, ""},
        {{{1089, QString(16, 'c')}}, false, ""},
        {{{1089, QString(17, 'c')}},
         false,
         "The zeft context string is too long. It must be less than 17 characters."},
        {{{1091, QString(17, 'c')}},
         false,
         "The zeft control server string is too long.\nIt must be less than 17 characters."},
        {{{1092, QString(17, 'c')}},
         false,
         "The zeft frame server string is too long.\nIt must be less than 17 characters."},
        {{{1012, "256"}}, false, clients},
        {{{1013, "65536"}},
         false,
         "The listen port number for lossy operation is not in the desired range (0-65535) !"},
        {{{1057, "256"}},
         false,
         "The maximum number of Socket clients for lossy operation is not in the desired range "
         "(0-255) !"},
        {{{1103, "abc"}}, true, rate},
        {{{1103, "0"}}, true, rate},
        {{{1103, "12.5"}}, true, ""},
        {{{1103, "abc"}}, false, ""},
        {{{1090, "31"}, {1003, "70000"}, {1012, "999"}}, false, offset},
        {{{1103, "x"}, {1090, "-1"}, {1089, QString(20, 'c')}}, true, rate},
    };
    const std::map<int, const char*> keys = {
        {1003, "LISTENPORTNUMBER"}, {1012, "MAXCLIENTS"}, {1089, "ZEFTCONTEXT"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message + " " + row.edits[0].second.toStdString());
        Reset();
        auto dlg = Open({&synthetic_});
        if (row.limit)
            Find<QCheckBox>(dlg.get(), 1093)->click();
        for (const auto& [id, text] : row.edits)
            Find<QLineEdit>(dlg.get(), id)->setText(text);
        messages_.clear();
        Find<QPushButton>(dlg.get(), 1)->click();
        EXPECT_EQ(dlg->result(), row.message.empty() ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(messages_, row.message.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{row.message});
        if (!row.message.empty())
            continue;
        for (const auto& [id, text] : row.edits) {
            if (id == 1103)
                EXPECT_EQ(Global("LimitFramerate"), row.limit ? "12.500000" : "-1.000000");
            else
                EXPECT_EQ(Default(keys.at(id)), text.toStdString());
        }
    }
}

TEST_F(ConfigDialogTest, QualityAboveTheRangeIsStoredAtItsEnd) {
    auto dlg = Open({&synthetic_});
    Screenshot(dlg.get(), "config-dialog");
    EXPECT_EQ(Find<QSlider>(dlg.get(), 1065)->value(), 90);
    EXPECT_EQ(Find<QLineEdit>(dlg.get(), 1021)->text(), "90 %");
    EXPECT_FALSE(Find<QLineEdit>(dlg.get(), 1013)->isEnabled());
    // Mode 5 of the synthetic camera: YUYV 640 x 480, 30 frames/s, rows top-down. The text
    // is its pieces joined as they are, hence the two blanks after the colon.
    EXPECT_EQ(Find<QLabel>(dlg.get(), 1102)->text().toStdString(),
              std::string("Choosed Video Mode (#5): ") + " lSampleSize = 614400," +
                  " Frames per Second = 30.000000," + " Source Rectangle=(0,0,640,480)," +
                  " Target Rectangle=(0,0,640,480)," + " BitRate = 147456000," + " biWidth = 640," +
                  " biHeight = -480," + " biPlanes = 1," + " biBitCount = 16," +
                  " biCompression = \"YUY2\"," + " biSizeImage = 614400," +
                  " biXPelsPerMeter = 0," + " biYPelsPerMeter = 0," + " indexAtCapturePin = 5");
    Find<QPushButton>(dlg.get(), 1)->click();
    EXPECT_EQ(config_.GetInt("DEFAULT", "JPEGQuality", 0), 90);
    EXPECT_EQ(Global("DevicePath"), "synthetic:0");
    EXPECT_EQ(Global("DeviceVideoMode"), "5");
    EXPECT_EQ(ReadFileText(dir_.File("Lumerix2.cfg")), config_.Text());
}

TEST_F(ConfigDialogTest, CancelLeavesBothFilesUnchanged) {
    auto dlg = Open({&synthetic_});
    Find<QLineEdit>(dlg.get(), 1003)->setText("4000");
    Find<QCheckBox>(dlg.get(), 1058)->click();
    Find<QPushButton>(dlg.get(), 2)->click();
    EXPECT_FALSE(config_.IsModified() || hardware_.IsModified());
    EXPECT_EQ(ReadFileText(dir_.File("Lumerix2.cfg")), kConfig);
    EXPECT_EQ(ReadFileText(dir_.File("curhardware.cfg")), kHardware);
}

TEST_F(ConfigDialogTest, WithoutAnyDeviceOkWritesNoDeviceSettings) {
    WriteFileText(dir_.File("curhardware.cfg"), "");
    hardware_.Load("curhardware.cfg");
    auto dlg = Open({});
    EXPECT_EQ(messages_, std::vector<std::string>{"No Directshow capture devices found. "
                                                  "Directshow properties will be disabled."});
    EXPECT_FALSE(Find<QPushButton>(dlg.get(), 1)->isEnabled());
    dlg->accept();
    EXPECT_EQ(Global("DevicePath"), "<none>");
    EXPECT_EQ(Global("DeviceVideoMode"), "<none>");
    EXPECT_EQ(Global("LimitFramerate"), "-1.000000");
}

TEST_F(ConfigDialogTest, OkStaysOffForADeviceWithoutCompatibleMode) {
    ScriptedNode mjpeg;  // a camera that offers only a format the system cannot use
    mjpeg.identity = "/dev/video9";
    mjpeg.formats = {{MakeFourCC('M', 'J', 'P', 'G'), {{640, 480}}, {{1, 30}}}};
    CScriptedV4l2 io({mjpeg});
    CV4l2Backend v4l2(io);
    auto dlg = Open({&v4l2, &synthetic_});
    auto* devices = Find<QComboBox>(dlg.get(), 1011);
    ASSERT_EQ(devices->count(), 2);
    EXPECT_EQ(devices->currentIndex(), 1);  // the configured one
    EXPECT_TRUE(Find<QPushButton>(dlg.get(), 1)->isEnabled());
    devices->setCurrentIndex(0);
    emit devices->activated(0);
    EXPECT_FALSE(Find<QPushButton>(dlg.get(), 1)->isEnabled());
    EXPECT_EQ(Find<QLabel>(dlg.get(), 1102)->text(), "No compatible Video Mode found.");
}

TEST(PreviewDrawingTest, FitsTheImageAtItsAspectRatio) {
    const struct {
        int width, height;
        QSize area, drawn;
    } rows[] = {
        {640, 480, {400, 400}, {400, 300}},
        {640, -480, {400, 200}, {267, 200}},
        {480, 640, {400, 400}, {300, 400}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(FitSize(r.width, r.height, r.area), r.drawn)
            << r.width << " in " << r.area.width();
}

// Each row: one 3 × 2 sample; the expected RGB of its first pixel of each row, top first.
TEST(PreviewDrawingTest, DrawsColourOrGrayAndEveryRowWidth) {
    const uint8_t bgr[] = {10, 20, 200, 0, 0, 0, 0, 0, 0, 30, 40, 50, 0, 0, 0, 0, 0, 0};
    const uint8_t yuy2[] = {100, 200, 50, 0, 70, 200, 0, 0, 60, 200, 50, 0, 70, 200, 0, 0};
    const uint8_t gray1 = uint8_t(20 * 0.587 + 200 * 0.299 + 10 * 0.114);
    const struct {
        int conversion;
        const uint8_t* data;
        size_t size;
        int32_t biHeight;
        uint32_t stride;
        bool grayscale;
        QRgb top, bottom;
    } rows[] = {
        {kConversionRgb24, bgr, sizeof bgr, -2, 0, false, qRgb(200, 20, 10), qRgb(50, 40, 30)},
        {kConversionRgb24, bgr, sizeof bgr, 2, 0, false, qRgb(50, 40, 30), qRgb(200, 20, 10)},
        {kConversionRgb24, bgr, sizeof bgr, -2, 0, true, qRgb(gray1, gray1, gray1),
         qRgb(41, 41, 41)},
        {kConversionYuy2, yuy2, sizeof yuy2, -2, 8, false, qRgb(100, 100, 100), qRgb(60, 60, 60)},
        {kConversionYuy2, yuy2, sizeof yuy2, -2, 8, true, qRgb(100, 100, 100), qRgb(60, 60, 60)},
    };
    for (const auto& r : rows) {
        MediaSample sample;
        sample.data = r.data;
        sample.length = r.size;
        PreviewFrame frame;
        frame.sample = &sample;
        frame.conversion = r.conversion;
        frame.header.biWidth = 3;
        frame.header.biHeight = r.biHeight;
        frame.stride = r.stride;
        frame.grayscale = r.grayscale;
        QImage image = PreviewImage(frame);
        ASSERT_EQ(image.size(), QSize(3, 2));
        EXPECT_EQ(image.pixel(0, 0), r.top) << r.conversion << r.grayscale;
        EXPECT_EQ(image.pixel(0, 1), r.bottom) << r.conversion << r.grayscale;
        EXPECT_EQ(image.pixel(1, 0),
                  r.conversion == kConversionYuy2 ? qRgb(50, 50, 50) : qRgb(0, 0, 0));
    }
}

TEST(PreviewDrawingTest, MailboxKeepsOnlyTheNewestPicture) {
    CFrameMailbox mailbox;
    EXPECT_TRUE(mailbox.Put({QImage(), 1.0}));
    EXPECT_FALSE(mailbox.Put({QImage(), 2.0}));
    EXPECT_EQ(mailbox.Take()->frameRate, 2.0);
    EXPECT_FALSE(mailbox.Take().has_value());
    EXPECT_TRUE(mailbox.Put({QImage(), 3.0}));
}

TEST(PreviewDialogTest, ModeChangeKeepsTheListAndItsSelection) {
    CSyntheticBackend synthetic;
    CPreviewDialog dlg("synthetic:0", 0, nullptr, {&synthetic});
    auto* modes = Find<QComboBox>(&dlg, 1011);
    const int count = modes->count();
    ASSERT_EQ(count, int(CSyntheticBackend::Modes().size()));
    EXPECT_EQ(modes->currentIndex(), 0);
    EXPECT_EQ(Find<QLineEdit>(&dlg, 1105)->text().toStdString(), "Synthetic Camera 0");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.LastImage().isNull(); }));

    modes->setCurrentIndex(2);
    EXPECT_EQ(modes->count(), count);
    EXPECT_EQ(modes->currentIndex(), 2);
    EXPECT_EQ(modes->currentText(), "(#3) 768 by 574 pixels (24 Bit (\"RGB\")) <=25.00 fps");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.LastImage().isNull(); }));
    const QRegularExpression rate("^\\d+\\.\\d\\d$");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return rate.match(Find<QLineEdit>(&dlg, 1106)->text()).hasMatch(); }));
    Screenshot(&dlg, "preview-dialog");
    Find<QPushButton>(&dlg, 2)->click();
    EXPECT_EQ(dlg.GetModeIndex(), 2);
}

TEST(PreviewDialogTest, DeviceControlChangesTheRunningPicture) {
    CSyntheticBackend synthetic;
    CPreviewDialog dlg("synthetic:0?noise=0", 4, nullptr, {&synthetic});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.LastImage().isNull(); }));
    EXPECT_EQ(qGray(dlg.LastImage().pixel(0, 0)), 12);
    WithModal([&] { Find<QPushButton>(&dlg, 1022)->click(); },
              [&](QDialog* controls) {
                  Screenshot(controls, "device-controls");
                  auto* brightness = Find<QSlider>(controls, V4L2_CID_BRIGHTNESS);
                  EXPECT_EQ(brightness->value(), 12);
                  brightness->setValue(200);
                  controls->reject();
              });
    EXPECT_TRUE(QTest::qWaitFor([&] { return qGray(dlg.LastImage().pixel(0, 0)) == 200; }));
}

// A GenICam camera's fractional feature shows its decimals; moving its slider changes the
// running picture (a 1 ms exposure leaves the fake camera's picture black).
TEST(PreviewDialogTest, GenicamFeaturesAreDeviceControls) {
    SetGenicamInterfaces({false, false, true});
    CAravisBackend genicam;
    {
        CPreviewDialog dlg("aravis:Fake_1?width=320&height=240&rate=50", 0, nullptr, {&genicam});
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.LastImage().isNull(); }));
        const QPoint middle(160, 120);
        EXPECT_GT(qGray(dlg.LastImage().pixel(middle)), 0);
        WithModal([&] { Find<QPushButton>(&dlg, 1022)->click(); },
                  [&](QDialog* controls) {
                      Screenshot(controls, "genicam-controls");
                      auto* form = controls->findChild<QFormLayout*>();
                      QSlider* exposure = nullptr;
                      for (QLabel* label : controls->findChildren<QLabel*>()) {
                          int row = -1;
                          QFormLayout::ItemRole role;
                          form->getWidgetPosition(label, &row, &role);
                          if (label->text() == "ExposureTimeAbs" && row >= 0)
                              exposure =
                                  qobject_cast<QSlider*>(form->itemAt(row, QFormLayout::FieldRole)
                                                             ->layout()
                                                             ->itemAt(0)
                                                             ->widget());
                      }
                      ASSERT_NE(exposure, nullptr);
                      EXPECT_EQ(exposure->value(), 1000000);
                      const auto texts = controls->findChildren<QLabel*>();
                      EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                                              [](QLabel* l) { return l->text() == "10000.00"; }));
                      exposure->setValue(100000);
                      controls->reject();
                  });
        EXPECT_TRUE(QTest::qWaitFor([&] { return qGray(dlg.LastImage().pixel(middle)) == 0; }));
    }
    SetGenicamInterfaces({});
}

// A quit handled while the controller's dialog is open (its loop runs the quit) must leave
// the dialog a live configuration: the OK pressed afterwards saves into it.
TEST(ConfigDialogQuitTest, OkAfterAQuitSavesIntoALiveConfiguration) {
    struct : ITimerHost, IDialogHost {
        void SetTimer(int, int) override {}
        void KillTimer(int) override {}
        void EndDialog(int) override {}
    } hosts;
    TempDir dir;
    WriteFileText(dir.File("Lumerix2.cfg"), ProgramDir::Config(ProgramDir::FreePorts(), ""));
    WriteFileText(dir.File("curhardware.cfg"), kHardware);
    CLogRecorder log;
    CMessageQueue poster;
    CQtConfigDialog configDialog(&log);
    CMainDlg dlg({&log, &poster, &hosts, &hosts, &configDialog}, dir.path(), 0);
    dlg.OnInitDialog();
    WithModal([&] { dlg.OnCommand(IDC_CONFIG); },
              [&](QDialog* config) {
                  dlg.ShutDownServer();
                  Find<QLineEdit>(config, 1003)->setText("4321");
                  Find<QPushButton>(config, 1)->click();
              });
    EXPECT_TRUE(dlg.IsShutDown());
    EXPECT_NE(ReadFileText(dir.File("Lumerix2.cfg")).find("LISTENPORTNUMBER=4321"),
              std::string::npos);
    ZeftShutdown();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The same pictures with or without a display, and no window pops up.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
