#include "RynMain.h"

#include "MtCore.h"
#include "MtPanelDialog.h"
#include "OsDep.h"
#include "QiArgRetVal.h"
#include "QiOutput.h"
#include "RynAbout.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSignalMapper>

#include <cstdio>

RynMain::RynMain(MtCore& engine, OsDep& platform, bool showPanel, const char* icon,
                 const char* picture, const char* versionText)
    : QDialog(nullptr), core(engine), osDep(platform), version(versionText), iconPath(icon),
      aboutPicturePath(picture) {
    mapper = new QSignalMapper(this);

    // The presets, in table order; each menu text maps to the set it queues.
    auto* safeMode = new QiArgRetVal;
    safeMode->set("VideoFormat", "720p 59.94");
    safeMode->set("OutputColor", "YCbCr_10");
    safeModeAction = addPreset(QT_TR_NOOP("Safe Mode (720p @ YCbCr_10)"), safeMode);
    // Empty: the engine fills it from the current pattern and its arguments.
    refreshAction = addPreset(QT_TR_NOOP("Refresh Current Pattern"), new QiArgRetVal);
    auto* colorbars = new QiArgRetVal;
    colorbars->set("Pattern", "fullfield"); // an alias of the colour-bar pattern
    colorbarsAction = addPreset(QT_TR_NOOP("Colorbars"), colorbars);
    auto* testCard = new QiArgRetVal;
    testCard->set("Pattern", "Lumevra-Test-Card"); // image alias from the data folder
    testCardAction = addPreset(QT_TR_NOOP("Lumevra-Test-Card-v"), testCard);

    aboutAction = new QAction(tr("About"), this);
    checkConnection(connect(aboutAction, &QAction::triggered, this, &RynMain::actAbout), __LINE__);
    quitAction = new QAction(tr("&Quit"), this);
    // Ends the event loop outright. QCoreApplication::quit() would first try
    // to close every window, and this dialog refuses to close while the tray
    // icon is visible, so "&Quit" would be lost once the dialog had been shown.
    checkConnection(
        connect(quitAction, &QAction::triggered, qApp, [] { QCoreApplication::exit(0); }),
        __LINE__);
    if (showPanel) {
        panelAction = new QAction(tr("Control Panel"), this);
        checkConnection(connect(panelAction, &QAction::triggered, this, &RynMain::actPanel),
                        __LINE__);
    }
    checkConnection(connect(mapper, &QSignalMapper::mappedString, this, &RynMain::actSetGen),
                    __LINE__);

    trayMenu = new QMenu(this);
    trayIcon = new QSystemTrayIcon(this);
    trayMenu->addAction(safeModeAction);
    trayMenu->addSeparator();
    trayMenu->addAction(refreshAction);
    trayMenu->addAction(testCardAction);
    trayMenu->addAction(colorbarsAction);
    trayMenu->addSeparator();
    if (panelAction) trayMenu->addAction(panelAction);
    trayMenu->addAction(aboutAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);

    trayIcon->setContextMenu(trayMenu);
    checkConnection(connect(trayIcon, &QSystemTrayIcon::activated, this, &RynMain::iconActivated),
                    __LINE__);

    setIcon(0);
    setVisible(false);
    resize(0, 0);
    trayIcon->show();
    setWindowTitle(tr("Marlowtide RYN"));
}

RynMain::~RynMain() {
    delete panel; // before the engine its controller drives goes away
    delete about;
    qDeleteAll(presets);
    presets.clear();
    // The actions, mapper, menu and tray icon are the dialog's children.
}

QAction* RynMain::addPreset(const char* text, QiArgRetVal* args) {
    const QString title = tr(text);
    presets.insert(title, args);
    QAction* action = new QAction(title, this);
    // Only the mapper's own connection is left unchecked, as it always was.
    connect(action, &QAction::triggered, mapper, qOverload<>(&QSignalMapper::map));
    mapper->setMapping(action, title);
    return action;
}

void RynMain::checkConnection(bool connected, int line) {
    if (!connected) std::printf("couldn't connect @ %d\n", line);
}

void RynMain::setVisible(bool visible) {
    QDialog::setVisible(visible);
}

void RynMain::closeEvent(QCloseEvent* event) {
    if (!trayIcon->isVisible()) return;
    QMessageBox::information(this, tr("Systray"),
                             tr("The program will keep running in the system tray. To terminate "
                                "the program, choose <b>Quit</b> in the context menu of the "
                                "system tray entry."),
                             QMessageBox::Ok, QMessageBox::NoButton);
    hide();
    event->ignore();
}

void RynMain::actRynControl() {}

void RynMain::setIcon(int) {
    QIcon icon(QString::fromUtf8(iconPath));
    trayIcon->setIcon(icon);
    setWindowIcon(icon);
    trayIcon->setToolTip(tr("Kettlebright"));
}

void RynMain::setTrayNote(const QString& note) {
    trayIcon->setToolTip(tr("Kettlebright") + QLatin1Char('\n') + note);
}

void RynMain::iconActivated(QSystemTrayIcon::ActivationReason) {
    // The platform opens the context menu itself.
}

void RynMain::actTestMethod() {}

void RynMain::actAbout() {
    // Modeless: Safe Mode and Quit must stay reachable while the box is open.
    // A second "About" brings the open box to the front.
    if (!about) about = new RynAbout(aboutPicturePath, version);
    about->present();
}

void RynMain::actPref() {}

BcServiceRequestor* RynMain::panelDiscovery() {
    return nullptr;
}

void RynMain::actPanel() {
    // One panel at a time: a second choice brings the open one forward, as
    // two would both drive the engine and compete for the discovery port.
    if (!panel) {
        panel = new MtPanelDialog(osDep, false, false, panelDiscovery());
        // A finished panel goes with its controller and discovery thread; the
        // next choice builds a fresh one.
        panel->setAttribute(Qt::WA_DeleteOnClose);
        panel->connect(core);
    }
    panel->show();
    panel->raise();
    panel->activateWindow();
}

void RynMain::actSetGen(const QString& par) {
    QiArgRetVal* args = presets.value(par, nullptr);
    if (!args) {
        gOutput->trace(QiOutput::Minutiae, "%s: couldn't find object for %s\n", "actSetGen",
                       par.toLocal8Bit().constData());
        return;
    }
    core.asyncSetGen(*args); // the command id is not needed
}
