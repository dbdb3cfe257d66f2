// The tray object: menu layout, presets queued on a running engine, the
// close-to-tray box and Quit.
#include "RynMain.h"
#include "ArgSupport.h"
#include "BcServiceRequestor.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "MtPanelDialog.h"
#include "OsDep.h"
#include "QtTestApp.h"
#include "RynAbout.h"
#include "TestSupport.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <tuple>

namespace {

using testsupport::dataFolder;
using testsupport::MemoryRaster;
using testsupport::MemoryRasterConfig;

const char* const kIcon = ":/Artwork/Kettlebright.iconset/icon_16x16@2x.png";
const char* const kPicture = ":Artwork/Kettlebright-About.png";

MemoryRasterConfig rasterConfig() {
    MemoryRasterConfig c;
    c.formats = {{"1080p25", 1920, 1080}, {"720p 59.94", 1280, 720}};
    c.pixelFormat = QiImageCoder::RGB_8;
    return c;
}

using testsupport::text;

class RynMainTest : public testing::Test {
protected:
    RynMainTest()
        : raster(rasterConfig()), core(&raster, nullptr, dataFolder().c_str()),
          osDep("com.Brindlecap.MtRyn") {}

    std::unique_ptr<RynMain> make(bool showPanel) {
        return std::make_unique<RynMain>(core, osDep, showPanel, kIcon, kPicture, "1.2.317");
    }

    static QMenu* menuOf(RynMain& ryn) {
        auto* tray = ryn.findChild<QSystemTrayIcon*>();
        return tray ? tray->contextMenu() : nullptr;
    }

    static QAction* entry(RynMain& ryn, const QString& title) {
        for (QAction* a : menuOf(ryn)->actions())
            if (a->text() == title) return a;
        ADD_FAILURE() << "no menu entry " << title.toStdString();
        return nullptr;
    }

    // Chooses a menu entry and waits until the engine has processed the
    // command it queued (an empty request of our own would take the current
    // arguments as they were before that command).
    void choose(RynMain& ryn, const char* title) {
        const int id = static_cast<int>(core.nextCommandId); // the next command's id
        entry(ryn, title)->trigger();
        bool result = false;
        core.waitForPattern(result, id); // false at once when already done
    }

    QiArgRetVal current() {
        QiArgRetVal args;
        core.getPatSettings(args);
        return args;
    }

    MemoryRaster raster;
    MtCore core;
    OsDep osDep;
};

QStringList titles(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        out << (a->isSeparator() ? QString("-") : a->text());
    return out;
}

TEST_F(RynMainTest, MenuIconTooltipAndTitle) {
    auto ryn = make(false);
    QMenu* menu = menuOf(*ryn);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(titles(menu),
              QStringList({"Safe Mode (720p @ YCbCr_10)", "-", "Refresh Current Pattern",
                           "Lumevra-Test-Card-v", "Colorbars", "-", "About", "-", "&Quit"}));
    auto* tray = ryn->findChild<QSystemTrayIcon*>();
    EXPECT_TRUE(tray->isVisible());
    EXPECT_FALSE(ryn->isVisible());
    EXPECT_EQ(tray->toolTip(), "Kettlebright");
    ryn->setTrayNote("Not serving");
    EXPECT_EQ(tray->toolTip(), "Kettlebright\nNot serving");
    EXPECT_EQ(ryn->windowTitle(), "Marlowtide RYN");
    // The icon comes from the compiled-in resources.
    EXPECT_EQ(tray->icon().availableSizes(), QList<QSize>({QSize(32, 32)}));
    EXPECT_FALSE(ryn->windowIcon().isNull());

    auto withPanel = make(true);
    EXPECT_EQ(titles(menuOf(*withPanel)),
              QStringList({"Safe Mode (720p @ YCbCr_10)", "-", "Refresh Current Pattern",
                           "Lumevra-Test-Card-v", "Colorbars", "-", "Control Panel", "About", "-",
                           "&Quit"}));
}

TEST_F(RynMainTest, PresetsReachTheEngineAsQueuedCommands) {
    auto ryn = make(false);
    // "Colorbars" selects the alias, not the pattern of that name.
    choose(*ryn, "Colorbars");
    EXPECT_EQ(text(current(), "Pattern"), "fullfield");
    EXPECT_EQ(text(current(), "Style"), "fullfield");

    // Safe Mode changes the format and layout only; the pattern stays.
    QiArgRetVal elsewhere;
    elsewhere.set("VideoFormat", "1080p25");
    elsewhere.set("OutputColor", "RGB_8");
    bool result = false;
    core.waitForPattern(result, core.asyncSetGen(elsewhere));
    ASSERT_EQ(raster.getOutputPixelFormat(), QiImageCoder::RGB_8);
    choose(*ryn, "Safe Mode (720p @ YCbCr_10)");
    QiArgRetVal settings;
    core.getGenSettings(settings);
    EXPECT_EQ(text(settings, "VideoFormat"), "720p 59.94");
    EXPECT_EQ(text(settings, "OutputColor"), "YCbCr_10");
    EXPECT_EQ(raster.getOutputPixelFormat(), QiImageCoder::YCbCr_10);
    EXPECT_EQ(raster.getWidth(), 1280);
    EXPECT_EQ(text(current(), "Pattern"), "fullfield");

    // The test card names the image alias of the data folder's card, drawn
    // here at 720 lines: its edge is white, its 75 % red bar 721, 64, 64.
    choose(*ryn, "Lumevra-Test-Card-v");
    EXPECT_EQ(text(current(), "Pattern"), "Lumevra-Test-Card");
    EXPECT_EQ(text(current(), "Name"), "Lumevra-Test-Card");
    int r = 0, g = 0, b = 0;
    raster.getPixel(0, 0, r, g, b);
    EXPECT_EQ(std::make_tuple(r, g, b), std::make_tuple(940, 940, 940));
    raster.getPixel(int(1280 * (2 + 12 * 5.5 / 7) / 16), 720 * 2 / 9, r, g, b); // 6th of 7 bars
    EXPECT_EQ(std::make_tuple(r, g, b), std::make_tuple(721, 64, 64));

    // Every choice is its own command: two refreshes are two commands.
    choose(*ryn, "Colorbars");
    testsupport::ScopedCapture capture;
    entry(*ryn, "Refresh Current Pattern")->trigger();
    choose(*ryn, "Refresh Current Pattern");
    int processed = 0;
    for (const std::string& line : capture.out->take())
        processed += line.find("mainLoop: setGenOpts?") != std::string::npos;
    EXPECT_EQ(processed, 2);
    EXPECT_EQ(text(current(), "Pattern"), "fullfield");
}

TEST_F(RynMainTest, UnknownPresetIsTracedAndIgnored) {
    auto ryn = make(false);
    testsupport::ScopedCapture capture;
    QMetaObject::invokeMethod(ryn.get(), "actSetGen", Q_ARG(QString, QString("Nope")));
    bool found = false;
    for (const std::string& line : capture.out->take())
        found |= line == "Minutiae: actSetGen: couldn't find object for Nope\n";
    EXPECT_TRUE(found);
}

TEST_F(RynMainTest, ClosingTheDialogKeepsTheApplicationInTheTray) {
    auto ryn = make(false);
    int boxes = 0;
    for (int close = 0; close < 2; ++close) {
        ryn->show();
        apptest::ModalWatch watch([&boxes](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "Systray");
            EXPECT_TRUE(
                box->text().startsWith("The program will keep running in the system tray."));
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
            ++boxes;
        });
        EXPECT_FALSE(ryn->close()); // the close event is ignored
        EXPECT_FALSE(ryn->isVisible());
        EXPECT_EQ(boxes, close + 1);
    }

    // Without a visible tray icon the close goes through and no box appears.
    ryn->findChild<QSystemTrayIcon*>()->hide();
    ryn->show();
    EXPECT_TRUE(ryn->close());
    EXPECT_EQ(boxes, 2);
}

QList<RynAbout*> openAboutBoxes() {
    QList<RynAbout*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* about = qobject_cast<RynAbout*>(w); about && about->isVisible()) out << about;
    return out;
}

TEST_F(RynMainTest, AboutLeavesTheMenuWorkingAndComesToTheFrontAgain) {
    auto ryn = make(false);
    int modals = 0;
    apptest::ModalWatch watch([&modals](QWidget*) { ++modals; });
    entry(*ryn, "About")->trigger(); // returns at once
    QApplication::processEvents();
    ASSERT_EQ(openAboutBoxes().size(), 1);
    RynAbout* about = openAboutBoxes().front();
    EXPECT_FALSE(about->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // The menu goes on working while the box is open.
    choose(*ryn, "Colorbars");
    EXPECT_EQ(text(current(), "Pattern"), "fullfield");

    // A second "About" brings the open box forward instead of opening another.
    QLabel* versionLine = about->findChild<QLabel*>();
    entry(*ryn, "About")->trigger();
    EXPECT_EQ(openAboutBoxes(), QList<RynAbout*>({about}));
    EXPECT_EQ(about->findChild<QLabel*>(), versionLine);
    // Closed and opened again, it is built afresh, once.
    about->reject();
    entry(*ryn, "About")->trigger();
    EXPECT_EQ(openAboutBoxes(), QList<RynAbout*>({about}));
    EXPECT_EQ(about->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).size(), 3);

    // Quit ends the application with the box still open.
    QTimer::singleShot(0, [&] { entry(*ryn, "&Quit")->trigger(); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(modals, 0);
}

// The tray with its "Control Panel" entry; the panel's discovery stays on
// loopback with nobody answering.
class PanelRyn : public RynMain {
public:
    using RynMain::RynMain;

protected:
    BcServiceRequestor* panelDiscovery() override { return loopbackDiscovery(); }

public:
    static BcServiceRequestor* loopbackDiscovery() {
        return new BcServiceRequestor(
            0, static_cast<unsigned short>(testsupport::freeLoopbackPort(SOCK_DGRAM)), "127.0.0.1");
    }
};

QList<MtPanelDialog*> openPanels() {
    QList<MtPanelDialog*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<MtPanelDialog*>(w); p && p->isVisible()) out << p;
    return out;
}

// Control+S, delivered where the keyboard is.
void pressSnapshotKey(QWidget* window) {
    QWidget* to = window->focusWidget() ? window->focusWidget() : window;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_S, Qt::ControlModifier, "s");
    QApplication::sendEvent(to, &press);
}

QStringList snapshotFiles() {
    return QDir::current().entryList({"marlowtide-*.png"}, QDir::Files);
}

bool rendered(testsupport::CaptureOutput& out, const std::string& pattern) {
    bool found = false;
    for (const std::string& line : out.take())
        found |= line.rfind("Info: pattern rendered " + pattern + " in time ", 0) == 0;
    return found;
}

// The end-to-end road of a person at the workstation: tray entry, panel
// pages, the engine rendering what was chosen. The start-up test's desktop
// runs this on a real X server.
TEST_F(RynMainTest, ControlPanelEntryDrivesTheEngine) {
    testsupport::ScopedCapture capture;
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    {
        PanelRyn ryn(core, osDep, true, kIcon, kPicture, "1.2.317");
        entry(ryn, "Control Panel")->trigger();
        ASSERT_EQ(openPanels().size(), 1);
        QPointer<MtPanelDialog> panel = openPanels().front();
        EXPECT_TRUE(osDep.isAppForeground());

        // Patterns page: a choice in the list is rendered before it returns.
        panel->findChild<QPushButton*>("PbPatterns")->click();
        auto* list = panel->findChild<QComboBox*>("CbPattern");
        ASSERT_NE(list, nullptr);
        capture.out->take();
        list->setCurrentIndex(list->findText("Gradient"));
        EXPECT_EQ(text(current(), "Pattern"), "Gradient");
        EXPECT_TRUE(rendered(*capture.out, "Gradient"));

        // One calibration step: Black Level puts the brightness pattern up.
        panel->findChild<QPushButton*>("PbCalibrate")->click();
        panel->findChild<QPushButton*>("PbBlackLevel")->click();
        EXPECT_EQ(text(current(), "Pattern"), "Brightness");
        EXPECT_TRUE(rendered(*capture.out, "Brightness"));

        // Choosing the entry again brings the open panel forward.
        entry(ryn, "Control Panel")->trigger();
        EXPECT_EQ(openPanels(), QList<MtPanelDialog*>({panel.data()}));

        // The tray's panel takes no snapshots; one that allows them saves the
        // engine's frame with Control+S.
        pressSnapshotKey(panel);
        EXPECT_TRUE(snapshotFiles().isEmpty());
        {
            MtPanelDialog snapshots(osDep, false, true, PanelRyn::loopbackDiscovery());
            snapshots.connect(core);
            snapshots.show();
            pressSnapshotKey(&snapshots);
            ASSERT_EQ(snapshotFiles().size(), 1);
            QImage png(snapshotFiles().front());
            EXPECT_EQ(png.size(), QSize(raster.getWidth(), raster.getHeight()));
        }

        // Closing the panel ends it and the foreground mode; the next choice
        // builds a fresh one.
        panel->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(panel.isNull());
        EXPECT_FALSE(osDep.isAppForeground());
        entry(ryn, "Control Panel")->trigger();
        EXPECT_EQ(openPanels().size(), 1);
    }
    EXPECT_TRUE(openPanels().isEmpty()); // the tray takes its panel down with it
    QDir::setCurrent(previous);
}

TEST_F(RynMainTest, QuitEndsTheEventLoopWithStatusZeroEvenWhileTheDialogIsShown) {
    auto ryn = make(false);
    ryn->show(); // a visible dialog refuses to close while the tray icon shows
    int boxes = 0;
    QTimer::singleShot(0, [&] { entry(*ryn, "&Quit")->trigger(); });
    apptest::ModalWatch watch([&boxes](QWidget*) { ++boxes; }, 20);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(boxes, 0);
}

} // namespace
