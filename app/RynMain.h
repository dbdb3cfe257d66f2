// RynMain: the tray icon and its menu.
//
// The only user interface a person at the workstation normally sees: a
// system-tray icon whose context menu queues a few fixed argument sets on the
// engine (Safe Mode, Refresh Current Pattern, the test card, colour bars),
// opens the About box and quits the application; when asked for, it also
// offers the control panel on the in-process engine. The dialog itself is
// never shown; closing it only hides it again. Main (GUI) thread only.
#pragma once

#include <QDialog>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class BcServiceRequestor;
class MtCore;
class MtPanelDialog;
class OsDep;
class QAction;
class QCloseEvent;
class QMenu;
class QSignalMapper;
class QiArgRetVal;
class RynAbout;

class RynMain : public QDialog {
    Q_OBJECT

public:
    // Builds the menu, the tray icon and the preset table; leaves the dialog
    // hidden and the tray icon visible. `showPanel` offers "Control Panel".
    // The three texts are not copied and must outlive the object.
    RynMain(MtCore& core, OsDep& osDep, bool showPanel, const char* iconPath,
            const char* aboutPicturePath, const char* version);
    ~RynMain() override;

    void setVisible(bool visible) override;

    // Tells the person at the tray what the generator cannot do: `note`
    // becomes the tooltip's second line, under "Kettlebright".
    void setTrayNote(const QString& note);

public slots:
    void actRynControl();

protected:
    // Keeps the application running in the tray: tells the user how to quit,
    // hides the dialog and ignores the event while the tray icon is visible.
    void closeEvent(QCloseEvent* event) override;
    // The discovery requester of a new control panel (owned by the panel);
    // null gives it the standard one, which broadcasts on every interface.
    virtual BcServiceRequestor* panelDiscovery();

private slots:
    void setIcon(int index);
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void actTestMethod();
    void actAbout();
    void actPref();
    void actPanel();
    // Queues the preset of menu text `par` without waiting for it.
    void actSetGen(const QString& par);

private:
    QAction* addPreset(const char* text, QiArgRetVal* args);
    void checkConnection(bool connected, int line);

    QAction* safeModeAction = nullptr;
    QAction* refreshAction = nullptr;
    QAction* colorbarsAction = nullptr;
    QAction* testCardAction = nullptr;
    QAction* aboutAction = nullptr;
    QAction* panelAction = nullptr; // null when the panel is not offered
    QAction* quitAction = nullptr;
    QSignalMapper* mapper = nullptr;
    QHash<QString, QiArgRetVal*> presets; // menu text -> owned argument set
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    RynAbout* about = nullptr; // made at the first "About", owned
    // The open control panel; it deletes itself when it is closed.
    QPointer<MtPanelDialog> panel;
    MtCore& core;
    OsDep& osDep;
    const char* version;
    const char* iconPath;
    const char* aboutPicturePath;
};
