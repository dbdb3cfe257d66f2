// The control panel's widgets, offscreen: option controls, pages, dialog.
#include "BcServiceRequestor.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtPanelController.h"
#include "MtPanelDialog.h"
#include "MtPanelPages.h"
#include "OsDep.h"
#include "TestSupport.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "AppTestSupport.h"

using apptest::FakeController;
using apptest::map;
using apptest::text;
using testsupport::dataFolder;

// The font library keeps caches the toolkit never frees; they are not ours.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

class Panel : public ::testing::Test {
protected:
    void SetUp() override { apptest::ensureApp(); }
    FakeController fake;
};

QStringList labels(QButtonGroup* g) {
    QStringList out;
    for (QAbstractButton* b : g->buttons())
        out << b->text();
    return out;
}

// ------------------------------------------------------ option controls

TEST_F(Panel, ControlsShowValuesAsTheGeneratorWroteThem) {
    fake.records = {
        map({{"Name", "Hex"},
             {"DataType", "Integer"},
             {"MaxValue", "100"},
             {"MinValue", "0"},
             {"DefaultValue", "0x1f"}}),
        map({{"Name", "Oct"},
             {"DataType", "Integer"},
             {"MaxValue", "100"},
             {"MinValue", "0"},
             {"Value", "010"}}),
        map({{"Name", "Flag"}, {"DataType", "Boolean"}, {"DefaultValue", "true"}}),
        map({{"Name", "Title"}, {"DataType", "String"}, {"Value", "abc"}}),
        map({{"Name", "Ro"}, {"DataType", "RoInteger"}, {"Value", "3"}}),
        map({{"Name", "Odd"}, {"DataType", "Colour"}}),
        map({{"Name", "Style"},
             {"DataType", "Enumeration"},
             {"nVal", "2"},
             {"Style0", "A"},
             {"Style1", "B"},
             {"DefaultValue", "A"}}),
    };
    fake.settings = map({{"Style", "C"}}); // matches no name: first item
    QiArgRetVal args;
    MtpPattern form(&fake, "P", args, false);
    EXPECT_TRUE(fake.sent.empty());
    EXPECT_FALSE(args.find(std::string("Pattern")));

    auto* layout = qobject_cast<QFormLayout*>(form.layout());
    ASSERT_EQ(layout->rowCount(), 5); // no row for RoInteger or an unknown type
    EXPECT_EQ(form.findChild<QSpinBox*>("Hex")->value(), 31);
    EXPECT_EQ(form.findChild<QSpinBox*>("Oct")->value(), 8);
    EXPECT_FALSE(form.findChild<QCheckBox*>("Flag")->isChecked());
    EXPECT_EQ(form.findChild<QLabel*>("Title")->text(), "String: abc");
    auto* style = form.findChild<QComboBox*>("Style");
    EXPECT_EQ(style->currentIndex(), 0);
    EXPECT_TRUE(fake.sent.empty());

    form.findChild<QSpinBox*>("Hex")->setValue(40);
    form.findChild<QCheckBox*>("Flag")->setChecked(true);
    style->setCurrentIndex(1);
    ASSERT_EQ(fake.sent.size(), 3u);
    EXPECT_EQ(fake.sent[0], map({{"Hex", "40"}}));
    EXPECT_EQ(fake.sent[1], map({{"Flag", "1"}}));
    EXPECT_EQ(fake.sent[2], map({{"Style", "B"}}));
    EXPECT_TRUE(fake.waited.empty());
}

TEST_F(Panel, DoubleChangesTravelAsShortDecimalText) {
    testsupport::ScopedCommaLocale comma;
    fake.records = {map({{"Name", "Gamma"},
                         {"DataType", "Double"},
                         {"MaxValue", "1e7"},
                         {"MinValue", "0"},
                         {"Value", "2.2"}})};
    QiArgRetVal args;
    MtpPattern form(&fake, "P", args, false);
    auto* box = form.findChild<QDoubleSpinBox*>("Gamma");
    box->setDecimals(4);
    box->setValue(2.5);
    box->setValue(0.0001);
    box->setValue(1234567);
    ASSERT_EQ(fake.sent.size(), 3u);
    EXPECT_EQ(text(fake.sent[0], "Gamma"), "2.5");
    EXPECT_EQ(text(fake.sent[1], "Gamma"), "0.0001");
    EXPECT_EQ(text(fake.sent[2], "Gamma"), "1.23457e+06");
}

TEST_F(Panel, ColourControlsFollowDepthAndSendAllThree) {
    fake.records = {map({{"Name", "A_B"},
                         {"DataType", "RGB"},
                         {"Value", "5"},
                         {"DefaultValueR", "700"},
                         {"DefaultValueG", "20"}})};
    fake.settings = map({{"A_B_Green", "0x10"}});
    fake.bits = 10;
    QiArgRetVal args;
    MtpPattern wide(&fake, "P", args, false);
    auto* red = wide.findChild<QSpinBox*>("A_B_Red");
    ASSERT_NE(red, nullptr);
    EXPECT_EQ(red->maximum(), 1023);
    EXPECT_EQ(red->value(), 700);
    EXPECT_EQ(wide.findChild<QSpinBox*>("A_B_Green")->value(), 16);
    EXPECT_EQ(wide.findChild<QSpinBox*>("A_B_Blue")->value(), 5);
    ASSERT_NE(wide.findChild<QWidget*>("A_B"), nullptr);

    wide.findChild<QSpinBox*>("A_B_Green")->setValue(17);
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0], map({{"A_B_Red", "700"}, {"A_B_Green", "17"}, {"A_B_Blue", "5"}}));

    fake.bits = 8;
    MtpPattern narrow(&fake, "P", args, false);
    EXPECT_EQ(narrow.findChild<QSpinBox*>("A_B_Red")->maximum(), 255);
}

TEST_F(Panel, ApplyingAFormSendsOnceAndWaits) {
    QiArgRetVal args = map({{"Steps", "0"}});
    MtpPattern form(&fake, "Gradient", args, true);
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0], map({{"Pattern", "Gradient"}, {"Steps", "0"}}));
    EXPECT_EQ(fake.waited, std::vector<int>{1});

    fake.nextId = 0; // a failed request is not waited for
    MtpPattern failed(&fake, "Gradient", args, true);
    EXPECT_EQ(fake.waited.size(), 1u);
}

TEST_F(Panel, SnapshotNamesWidenPastNinetyNine) {
    for (int i = 0; i < 101; ++i)
        doSnapshot(&fake);
    doSnapshot(nullptr);
    ASSERT_EQ(fake.snapshots.size(), 101u);
    EXPECT_EQ(fake.snapshots[0], "marlowtide-00.png");
    EXPECT_EQ(fake.snapshots[1], "marlowtide-01.png");
    EXPECT_EQ(fake.snapshots[99], "marlowtide-99.png");
    EXPECT_EQ(fake.snapshots[100], "marlowtide-100.png");

    MtpGenerator page(&fake, true); // the page's button takes the next number
    page.findChild<QPushButton*>("PbSnapshot")->click();
    EXPECT_EQ(fake.snapshots.back(), "marlowtide-101.png");
}

// ------------------------------------------------------------ Window page

TEST_F(Panel, WindowPageLevelsAndRequests) {
    MtpWindowControl white(&fake, false);
    EXPECT_EQ(labels(white.levels()).join(" "),
              "16 29 43 57 70 84 98 111 125 139 152 166 180 193 207 221 235");
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0], map({{"Pattern", "Window"},
                                 {"Size", "10%"},
                                 {"Color_Red", "180"},
                                 {"Color_Green", "180"},
                                 {"Color_Blue", "180"}}));
    EXPECT_EQ(fake.waited.size(), 1u);

    fake.sent.clear();
    MtpWindowControl gamut(&fake, true);
    EXPECT_EQ(fake.sent.at(0), map({{"Pattern", "Window"},
                                    {"Size", "10%"},
                                    {"Color_Red", "180"},
                                    {"Color_Green", "16"},
                                    {"Color_Blue", "16"}}));

    fake.sent.clear();
    gamut.findChild<QButtonGroup*>("WinStepGroup")->button(0)->click(); // 11 steps
    EXPECT_EQ(labels(gamut.levels()).join(" "), "16 37 59 81 103 125 147 169 191 213 235");
    gamut.findChild<QButtonGroup*>("WinColorGroup")->button(3)->click(); // cyan
    gamut.findChild<QButtonGroup*>("WinSizeGroup")->button(2)->click();
    gamut.levels()->button(0)->click();
    ASSERT_EQ(fake.sent.size(), 4u);
    EXPECT_EQ(text(fake.sent[0], "Color_Red"), "191");
    EXPECT_EQ(fake.sent[1], map({{"Pattern", "Window"},
                                 {"Size", "10%"},
                                 {"Color_Red", "16"},
                                 {"Color_Green", "191"},
                                 {"Color_Blue", "191"}}));
    EXPECT_EQ(text(fake.sent[2], "Size"), "100%");
    EXPECT_EQ(text(fake.sent[3], "Color_Green"), "16");

    gamut.findChild<QButtonGroup*>("WinStepGroup")->button(3)->click(); // 33 steps
    EXPECT_EQ(gamut.levels()->buttons().size(), 33);
    EXPECT_EQ(gamut.levels()->checkedId(), 24);

    fake.black = 64;
    fake.white = 940;
    fake.sent.clear();
    MtpWindowControl tenBit(&fake, false);
    EXPECT_EQ(text(fake.sent.at(0), "Color_Red"), "721");
}

// ----------------------------------------------------------------- pages

TEST_F(Panel, CalibrateAndPerformanceButtons) {
    MtpCalibrate calibrate(&fake);
    calibrate.findChild<QPushButton*>("PbGrayscale")->click();
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0], map({{"Pattern", "Gradient"}, {"Steps", "0"}}));
    EXPECT_NE(qobject_cast<MtpPattern*>(calibrate.currentItem()), nullptr);
    calibrate.findChild<QPushButton*>("PbWhiteBalance")->click();
    EXPECT_NE(qobject_cast<MtpWindowControl*>(calibrate.currentItem()), nullptr);
    EXPECT_EQ(text(fake.sent.at(1), "Color_Blue"), "180");

    fake.sent.clear();
    MtpPerformance performance(&fake);
    performance.findChild<QPushButton*>("PbColorRamps")->click();
    performance.findChild<QPushButton*>("PbColorGamut")->click();
    ASSERT_EQ(fake.sent.size(), 2u);
    EXPECT_EQ(fake.sent[0], map({{"Pattern", "Gradient"}, {"Style", "RGBCMYK"}, {"Steps", "0"}}));
    EXPECT_EQ(fake.sent[1], map({{"Pattern", "Chromaticity"}}));
}

TEST_F(Panel, PatternsPagePreselectsWithoutSending) {
    fake.list = map({{"Colorbars", "1.1"}, {"Gradient", "1.2"}, {"Window", "1.3"}});
    fake.settings = map({{"Pattern", "Gradient"}, {"Steps", "4"}});
    testing::internal::CaptureStdout();
    MtpPatterns page(&fake);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "current pattern is Gradient\n");
    auto* combo = page.findChild<QComboBox*>("CbPattern");
    EXPECT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_TRUE(fake.sent.empty());
    ASSERT_NE(page.currentPatternItem(), nullptr);

    testing::internal::CaptureStdout();
    combo->setCurrentIndex(1); // the same: no change
    combo->setCurrentIndex(2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "new pattern should be Window\n");
    ASSERT_EQ(fake.sent.size(), 1u);
    EXPECT_EQ(fake.sent[0], map({{"Pattern", "Window"}}));

    fake.settings = map({{"Pattern", "user/clip"}});
    MtpPatterns other(&fake);
    EXPECT_EQ(other.findChild<QComboBox*>("CbPattern")->currentIndex(), 0);
}

// ---------------------------------------------------------------- dialog

unsigned short freeUdpPort() {
    return static_cast<unsigned short>(testsupport::freeLoopbackPort(SOCK_DGRAM));
}

void press(QWidget* w, Qt::KeyboardModifiers mods) {
    QKeyEvent e(QEvent::KeyPress, Qt::Key_S, mods, "s");
    QApplication::sendEvent(w, &e);
}

TEST_F(Panel, DialogOnTheEngine) {
    testsupport::ScopedCapture capture;
    testsupport::MemoryRasterConfig config;
    config.formats = {{"small", 320, 180}};
    testsupport::MemoryRaster raster(config);
    MtCore core(&raster, nullptr, dataFolder().c_str());
    OsDep os("test");
    // Discovery only on loopback, with nobody answering.
    MtPanelDialog dialog(os, false, true, new BcServiceRequestor(0, freeUdpPort(), "127.0.0.1"));
    EXPECT_TRUE(os.isAppForeground());
    EXPECT_EQ(dialog.findChild<QComboBox*>("CbGenerator"), nullptr);

    dialog.findChild<QPushButton*>("PbGenerator")->click(); // no controller: no page
    EXPECT_EQ(dialog.currentPage(), nullptr);

    dialog.connect(core);
    dialog.findChild<QPushButton*>("PbGenerator")->click();
    auto* generator = qobject_cast<MtpGenerator*>(dialog.currentPage());
    ASSERT_NE(generator, nullptr);
    std::vector<QiArgRetVal> records;
    dialog.currentController()->generatorOpts(records);
    int shown = 0;
    for (size_t i = 0; i + 2 < records.size(); ++i)
        shown += text(records[i], "DataType") != "RoInteger";
    EXPECT_EQ(shown, static_cast<int>(records.size()) - 2 - 3);
    EXPECT_EQ(qobject_cast<QFormLayout*>(generator->layout())->rowCount(), shown + 1);

    dialog.findChild<QPushButton*>("PbPatterns")->click();
    EXPECT_NE(qobject_cast<MtpPatterns*>(dialog.currentPage()), nullptr);

    // A new controller takes the page built on the old one with it.
    dialog.connect(core);
    EXPECT_EQ(dialog.currentPage(), nullptr);

    dialog.done(QDialog::Rejected);
    EXPECT_FALSE(os.isAppForeground());
}

// The snapshot files in the current folder.
std::vector<std::string> snapshotFiles() {
    std::vector<std::string> out;
    for (const QString& f : QDir::current().entryList({"marlowtide-*.png"}, QDir::Files))
        out.push_back(f.toStdString());
    return out;
}

TEST_F(Panel, SnapshotKeyNeedsControlAlone) {
    testsupport::ScopedCapture capture;
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    {
        testsupport::MemoryRasterConfig config;
        config.formats = {{"small", 32, 18}};
        testsupport::MemoryRaster raster(config);
        MtCore core(&raster, nullptr, dataFolder().c_str());
        OsDep os("test");
        MtPanelDialog dialog(os, false, true,
                             new BcServiceRequestor(0, freeUdpPort(), "127.0.0.1"));
        press(&dialog, Qt::ControlModifier); // no controller yet: nothing
        EXPECT_TRUE(snapshotFiles().empty());
        dialog.connect(core);
        press(&dialog, Qt::ControlModifier | Qt::ShiftModifier);
        press(&dialog, Qt::NoModifier);
        EXPECT_TRUE(snapshotFiles().empty());
        press(&dialog, Qt::ControlModifier);
        EXPECT_EQ(snapshotFiles().size(), 1u);

        MtPanelDialog noSnapshots(os, false, false,
                                  new BcServiceRequestor(0, freeUdpPort(), "127.0.0.1"));
        noSnapshots.connect(core);
        press(&noSnapshots, Qt::ControlModifier);
        EXPECT_EQ(snapshotFiles().size(), 1u);
    }
    QDir::setCurrent(previous);
}

TEST_F(Panel, GeneratorListFromDiscovery) {
    testsupport::ScopedCapture capture;
    const unsigned short answerPort = freeUdpPort();
    BcServiceResponder responder(0, answerPort);
    responder.registerService(5113, 9022, "bench-generator");
    ASSERT_TRUE(responder.start());
    const unsigned short requestPort = responder.waitUntilListening(2000);
    ASSERT_NE(requestPort, 0);

    OsDep os("test");
    MtPanelDialog dialog(os, true, false,
                         new BcServiceRequestor(answerPort, requestPort, "127.0.0.1"));
    auto* list = dialog.findChild<QComboBox*>("CbGenerator");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->itemText(0), "bench-generator");
    EXPECT_EQ(list->itemData(0).toByteArray().size(), 44);
    EXPECT_EQ(dialog.currentController(), nullptr); // filling the list chose nothing

    dialog.findChild<QPushButton*>("PbCalibrate")->click(); // connects to the chosen one
    auto* remote = dynamic_cast<MtXmlController*>(dialog.currentController());
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->client.getHost(), "127.0.0.1");
    EXPECT_EQ(remote->client.getPort(), 9022);
    EXPECT_NE(qobject_cast<MtpCalibrate*>(dialog.currentPage()), nullptr);

    dialog.on_CbGenerator_currentIndexChanged(0); // a choice: new controller, its Generator page
    EXPECT_NE(dynamic_cast<MtXmlController*>(dialog.currentController()), nullptr);
    EXPECT_NE(qobject_cast<MtpGenerator*>(dialog.currentPage()), nullptr);

    // Closing ends the discovery listener instead of leaving it for its 8 s.
    auto t0 = std::chrono::steady_clock::now();
    dialog.done(QDialog::Accepted);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

} // namespace
