// RynAbout: the modal About box of the tray menu.
//
// Shows the application's picture, "Kettlebright: " with the version, and the
// workstation's IPv4 addresses (one "interface: address" line each, loopback
// left out), which an operator needs to point calibration software at the
// generator by hand. The widgets are built afresh on every exec(), so each
// opening reads the current addresses. Main (GUI) thread only.
#pragma once

#include <QDialog>
#include <QStringList>

struct ifaddrs;

class RynAbout : public QDialog {
    Q_OBJECT

public:
    // Neither text is copied; both must outlive the dialog.
    RynAbout(const char* aboutPicturePath, const char* version);
    ~RynAbout() override;

    // Builds the layout, runs the dialog modally until it is closed, then
    // takes the widgets down again. Returns QDialog::exec's result.
    int exec() override;

    // The address lines for an interface list as `getifaddrs` gives it.
    static QStringList addressLines(const ifaddrs* list);

private:
    const char* version;
    const char* aboutPicturePath;
};
