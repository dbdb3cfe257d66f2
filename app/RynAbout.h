// RynAbout: the About box of the tray menu.
//
// Shows the application's picture, "Kettlebright: " with the version, and the
// workstation's IPv4 addresses (one "interface: address" line each, loopback
// left out), which an operator needs to point calibration software at the
// generator by hand. The widgets are built afresh on every opening, so each
// opening reads the current addresses. The tray opens it without blocking
// (present()), so its menu keeps working while the box is open. Main (GUI)
// thread only.
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

    // Shows the box without blocking, built afresh when it was closed, and
    // brings it to the front.
    void present();

    // The address lines for an interface list as `getifaddrs` gives it.
    static QStringList addressLines(const ifaddrs* list);

private:
    void build();
    void takeDown();

    const char* version;
    const char* aboutPicturePath;
};
