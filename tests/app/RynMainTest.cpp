// The tray object: menu layout, presets queued on a running engine, the
// close-to-tray box and Quit.
#include "RynMain.h"
#include "ArgSupport.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "OsDep.h"
#include "QtTestApp.h"
#include "TestSupport.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <unistd.h>

#include <memory>
#include <string>

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

    // The test card names its image alias; without the image files it is
    // unknown to the engine, which keeps the current pattern.
    choose(*ryn, "Lumevra-Test-Card-v");
    EXPECT_EQ(text(current(), "Pattern"), "fullfield");

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
        apptest::whenModalShown([&boxes](QWidget* modal) {
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

TEST_F(RynMainTest, QuitEndsTheEventLoopWithStatusZeroEvenWhileTheDialogIsShown) {
    auto ryn = make(false);
    ryn->show(); // a visible dialog refuses to close while the tray icon shows
    int boxes = 0;
    QTimer::singleShot(0, [&] { entry(*ryn, "&Quit")->trigger(); });
    apptest::whenModalShown([&boxes](QWidget*) { ++boxes; }, 20);
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(boxes, 0);
}

} // namespace
