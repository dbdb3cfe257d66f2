// MtPanelDialog: the control panel.
//
// A dialog from which a person drives a generator by hand: the in-process
// engine (connect(MtCore&)) or a generator found by UDP discovery and chosen
// in the generator list. Its top holds the optional generator list and the
// page buttons Generator, Calibrate, Performance and Patterns; below them one
// page at a time, built afresh on each button press. Control+S saves a
// snapshot when allowed. While the dialog is open the application is a
// foreground application. Main thread only.
#pragma once

#include <QDialog>

class BcServiceRequestor;
class MtController;
class MtCore;
class OsDep;
class QComboBox;
class QHBoxLayout;
class QKeyEvent;
class QVBoxLayout;

class MtPanelDialog : public QDialog {
    Q_OBJECT
public:
    // Broadcasts one discovery request and waits 250 ms for answers, which
    // fill the generator list when `showGenerator` is set. `requestor`, when
    // given, is used for that instead of one on the standard ports (owned,
    // init() not yet called).
    MtPanelDialog(OsDep& osDep, bool showGenerator, bool allowSnapshot,
                  BcServiceRequestor* requestor = nullptr);
    // Deletes the page, the controller and the discovery requester.
    ~MtPanelDialog() override;

    // Drive the in-process engine, or the generator at `host` (dotted IPv4)
    // and `port`. The old controller is deleted, and the page built on it
    // with it.
    void connect(MtCore& core);
    void connect(const char* host, unsigned port);
    // Shows `w` (owned from now on) as the page instead of the current one.
    void clearPanel(QWidget* w);
    // Without a controller: connects to the generator chosen in the list.
    void checkGenConnection();

    MtController* currentController() const { return controller; }
    QWidget* currentPage() const { return page; }

public slots:
    void on_CbGenerator_currentIndexChanged(int ix);
    void on_PbGenerator_clicked();
    void on_PbCalibrate_clicked();
    void on_PbPerformance_clicked();
    void on_PbPatterns_clicked();
    // Finishes the dialog, returns the application to tray-only mode and ends
    // the discovery thread.
    void done(int r) override;

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void replaceController(MtController* c);

    OsDep& osDep;
    MtController* controller = nullptr;
    QVBoxLayout* mainLayout = nullptr;
    QComboBox* generatorList = nullptr;
    QHBoxLayout* buttonRow = nullptr;
    QWidget* page = nullptr;
    BcServiceRequestor* requestor = nullptr;
    bool allowSnapshot;
};
