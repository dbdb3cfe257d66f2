// Panel pages: Calibrate, Performance, Patterns, and the Window page.
//
// Calibrate and Performance are columns of buttons; each button puts a chosen
// test pattern on the output and shows its options beside the column.
// Patterns offers every pattern and alias of the generator in a list.
// `MtpWindowControl` drives the "Window" pattern from radio buttons for size,
// number of level steps, colour and level, the levels spread evenly between
// the generator's black and white levels. Every request goes through the
// panel's MtController; buttons and list choices block the main thread until
// the generator has applied them.
#pragma once

#include "MtPanelController.h"

#include <QWidget>

class MtController;
class QButtonGroup;
class QGridLayout;
class QLayout;
class QVBoxLayout;

// One row of a button table: the button's text and its object name, which
// ties it to its click slot by name.
struct WidgetDef {
    const char* label;
    const char* objectName;
};

// Appends one push button per row of the first `n` rows of `table` to
// `layout`, auto-default off, named after the row.
void addButtons(QLayout* layout, const WidgetDef* table, unsigned n);

// A page with a place for one item (an option form or the Window page).
class MtPanelW : public QWidget {
    Q_OBJECT
public:
    explicit MtPanelW(MtController* controller);
    ~MtPanelW() override;

    // Deletes the current item and shows `item` (owned from now on) instead;
    // null just clears the place.
    virtual void clearPattern(MtPanelController* item);
    MtPanelController* currentItem() const { return item; }

protected:
    MtController* controller; // not owned
    QVBoxLayout* itemLayout = nullptr;
    MtPanelController* item = nullptr;
};

class MtpCalibrate : public MtPanelW {
    Q_OBJECT
public:
    explicit MtpCalibrate(MtController* controller);

public slots:
    void on_PbBlackLevel_clicked();
    void on_PbWhiteLevel_clicked();
    void on_PbColorTint_clicked();
    void on_PbSharpness_clicked();
    void on_PbWhiteBalance_clicked();
    void on_PbColorGamut_clicked();
    void on_PbGrayscale_clicked();
    void on_PbProofing_clicked();
};

class MtpPerformance : public MtPanelW {
    Q_OBJECT
public:
    explicit MtpPerformance(MtController* controller);

public slots:
    void on_PbResolution_clicked();
    void on_PbScaling_clicked();
    void on_PbContrastRatio_clicked();
    void on_PbColorRamps_clicked();
    void on_PbColorGamut_clicked();
    void on_PbGeometry_clicked();
    void on_PbDynamicRange_clicked();
};

class MtpPatterns : public MtPanelW {
    Q_OBJECT
public:
    // Lists the generator's patterns with the current one selected and shows
    // its controls; nothing is sent.
    explicit MtpPatterns(MtController* controller);
    ~MtpPatterns() override;

    void clearPattern(MtPanelController* item) override;
    MtPanelController* currentPatternItem() const { return patternItem; }

public slots:
    void on_CbPattern_currentIndexChanged(int ix);

private:
    MtPanelController* patternItem = nullptr;
};

// The Window page; building it puts a window on the output at once.
class MtpWindowControl : public MtPanelController {
    Q_OBJECT
public:
    MtpWindowControl(MtController* controller, bool colors);
    ~MtpWindowControl() override;

    void addControls(bool colors);
    QButtonGroup* mkRadioGroup(const char* title, const char** labels, unsigned n,
                               QGridLayout* grid, unsigned perRow);
    // Rebuilds the Levels group with `steps` (at least 2) levels.
    void mkLevelControls(unsigned steps);
    // Sends the window that the radio buttons describe and waits for it.
    void render();

    QButtonGroup* levels() const { return levelGroup; }

public slots:
    // Qt 6 names the int-carrying click signal of a button group idClicked.
    void on_WinSizeGroup_idClicked(int id);
    void on_WinStepGroup_idClicked(int id);
    void on_WinColorGroup_idClicked(int id);
    void on_WinLevelGroup_idClicked(int id);

private:
    QVBoxLayout* pageLayout = nullptr;
    QButtonGroup* sizeGroup = nullptr;
    QButtonGroup* stepGroup = nullptr;
    QButtonGroup* colorGroup = nullptr;
    QButtonGroup* levelGroup = nullptr;
    QWidget* levelPanel = nullptr;
};
