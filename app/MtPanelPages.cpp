#include "MtPanelPages.h"

#include "MtController.h"
#include "QiCLocale.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cstdint>
#include <iostream>
#include <string>

namespace {

const WidgetDef skCalibrateButtons[] = {
    {"Black Level", "PbBlackLevel"},     {"White Level", "PbWhiteLevel"},
    {"Color/Tint", "PbColorTint"},       {"Sharpness", "PbSharpness"},
    {"White Balance", "PbWhiteBalance"}, {"Color Gamut", "PbColorGamut"},
    {"Grayscale", "PbGrayscale"},        {"Proofing", "PbProofing"},
};

const WidgetDef skPerformanceButtons[] = {
    {"Resolution", "PbResolution"},        {"Scaling", "PbScaling"},
    {"Contrast Ratio", "PbContrastRatio"}, {"Color Ramps", "PbColorRamps"},
    {"Color Gamut", "PbColorGamut"},       {"Geometry", "PbGeometry"},
    {"Dynamic Range", "PbDynamicRange"},
};

const char* kWindowSizes[] = {"10%", "18%", "100%", nullptr};
const char* kStepCounts[] = {"11", "17", "21", "33"};
const char* kWindowColors[] = {"Red", "Green", "Blue", "Cyan", "Magenta", "Yellow"};

// The id that stands for a white (grey) window when there is no colour group.
constexpr int kWhite = 7;

// Which components of a window colour carry the level (the others black):
// red, green, blue for ids 0..5 and white.
bool carriesLevel(int colorId, int component) {
    static const bool table[6][3] = {{true, false, false}, {false, true, false},
                                     {false, false, true}, {false, true, true},
                                     {true, false, true},  {true, true, false}};
    if (colorId < 0 || colorId >= 6) return true;
    return table[colorId][component];
}

// An option form for `name` with only `preset` set, applied at once.
MtPanelController* applied(MtController* c, const char* name,
                           std::initializer_list<std::pair<const char*, const char*>> preset = {}) {
    QiArgRetVal args;
    for (const auto& kv : preset)
        args.set(kv.first, kv.second);
    return new MtpPattern(c, name, args, true);
}

void buttonColumnPage(QWidget* page, QVBoxLayout*& itemLayout, const WidgetDef* table, unsigned n) {
    auto* row = new QHBoxLayout(page);
    auto* buttons = new QVBoxLayout;
    row->addLayout(buttons);
    addButtons(buttons, table, n);
    itemLayout = new QVBoxLayout;
    row->addLayout(itemLayout);
}

} // namespace

void addButtons(QLayout* layout, const WidgetDef* table, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        auto* button = new QPushButton(QObject::tr(table[i].label));
        layout->addWidget(button);
        button->setAutoDefault(false);
        button->setObjectName(table[i].objectName);
    }
}

// ------------------------------------------------------------------ MtPanelW

MtPanelW::MtPanelW(MtController* c) : QWidget(nullptr), controller(c) {}

MtPanelW::~MtPanelW() {
    delete item;
}

void MtPanelW::clearPattern(MtPanelController* newItem) {
    delete item;
    item = newItem;
    if (item) itemLayout->addWidget(item);
}

// ------------------------------------------------------------- Calibrate

MtpCalibrate::MtpCalibrate(MtController* c) : MtPanelW(c) {
    buttonColumnPage(this, itemLayout, skCalibrateButtons, 8);
    QMetaObject::connectSlotsByName(this);
}

void MtpCalibrate::on_PbBlackLevel_clicked() {
    clearPattern(applied(controller, "Brightness"));
}
void MtpCalibrate::on_PbWhiteLevel_clicked() {
    clearPattern(applied(controller, "Contrast"));
}
void MtpCalibrate::on_PbColorTint_clicked() {
    clearPattern(applied(controller, "Color"));
}
void MtpCalibrate::on_PbSharpness_clicked() {
    clearPattern(applied(controller, "Sharpness"));
}
void MtpCalibrate::on_PbWhiteBalance_clicked() {
    clearPattern(new MtpWindowControl(controller, false));
}
void MtpCalibrate::on_PbColorGamut_clicked() {
    clearPattern(new MtpWindowControl(controller, true));
}
void MtpCalibrate::on_PbGrayscale_clicked() {
    clearPattern(applied(controller, "Gradient", {{"Steps", "0"}}));
}
void MtpCalibrate::on_PbProofing_clicked() {
    clearPattern(applied(controller, "Lumevra-Test-Card"));
}

// ----------------------------------------------------------- Performance

MtpPerformance::MtpPerformance(MtController* c) : MtPanelW(c) {
    buttonColumnPage(this, itemLayout, skPerformanceButtons, 7);
    QMetaObject::connectSlotsByName(this);
}

void MtpPerformance::on_PbResolution_clicked() {
    clearPattern(applied(controller, "Resolution"));
}
void MtpPerformance::on_PbScaling_clicked() {
    clearPattern(applied(controller, "ZonePlate", {{"Scale", "180"}}));
}
void MtpPerformance::on_PbContrastRatio_clicked() {
    clearPattern(applied(controller, "Checkerboard"));
}
void MtpPerformance::on_PbColorRamps_clicked() {
    clearPattern(applied(controller, "Gradient", {{"Style", "RGBCMYK"}, {"Steps", "0"}}));
}
void MtpPerformance::on_PbColorGamut_clicked() {
    clearPattern(applied(controller, "Chromaticity"));
}
void MtpPerformance::on_PbGeometry_clicked() {
    clearPattern(applied(controller, "Geometry"));
}
void MtpPerformance::on_PbDynamicRange_clicked() {
    clearPattern(applied(controller, "DynamicRange"));
}

// -------------------------------------------------------------- Patterns

MtpPatterns::MtpPatterns(MtController* c) : MtPanelW(c) {
    itemLayout = new QVBoxLayout(this);
    auto* combo = new QComboBox(this);
    combo->setObjectName("CbPattern");
    itemLayout->addWidget(combo);

    QiArgRetVal settings, list;
    controller->patternSettings(settings);
    controller->patternList(list);
    const char* current = settings.Pattern();
    const std::string currentName = current ? current : "";

    int position = 0, index = 0;
    for (const auto& kv : list) {
        combo->addItem(QString::fromStdString(kv.first));
        if (current && kv.first == currentName) {
            std::cout << "current pattern is " << kv.first << std::endl;
            position = index;
        }
        ++index;
    }
    if (combo->count() > 0) combo->setCurrentIndex(position);

    clearPattern(new MtpPattern(controller, currentName.c_str(), settings, false));
    // Last, so the initial selection does not count as a change.
    QMetaObject::connectSlotsByName(this);
}

MtpPatterns::~MtpPatterns() {
    delete patternItem;
}

void MtpPatterns::clearPattern(MtPanelController* newItem) {
    delete patternItem;
    patternItem = newItem;
    if (patternItem) itemLayout->addWidget(patternItem);
}

void MtpPatterns::on_CbPattern_currentIndexChanged(int ix) {
    auto* combo = qobject_cast<QComboBox*>(sender());
    if (!combo || ix < 0) return;
    const std::string name = combo->itemText(ix).toStdString();
    std::cout << "new pattern should be " << name << std::endl;
    QiArgRetVal args;
    clearPattern(new MtpPattern(controller, name.c_str(), args, true));
}

// ---------------------------------------------------------- Window page

MtpWindowControl::MtpWindowControl(MtController* c, bool colors) : MtPanelController(c) {
    pageLayout = new QVBoxLayout(this);
    addControls(colors);
    QMetaObject::connectSlotsByName(this);
    render();
}

MtpWindowControl::~MtpWindowControl() {
    delete sizeGroup;
    delete stepGroup;
    delete colorGroup;
    delete levelGroup;
    delete levelPanel;
}

void MtpWindowControl::addControls(bool colors) {
    auto addGrid = [this] {
        auto* grid = new QGridLayout;
        grid->setVerticalSpacing(10);
        pageLayout->addLayout(grid);
        return grid;
    };
    sizeGroup = mkRadioGroup("Window Size", kWindowSizes, 3, addGrid(), 6);
    sizeGroup->button(0)->setChecked(true);
    sizeGroup->setObjectName("WinSizeGroup");

    stepGroup = mkRadioGroup("Steps", kStepCounts, 4, addGrid(), 6);
    stepGroup->setObjectName("WinStepGroup");
    stepGroup->button(1)->setChecked(true);

    if (colors) {
        colorGroup = mkRadioGroup("Window Color", kWindowColors, 6, addGrid(), 3);
        colorGroup->setObjectName("WinColorGroup");
        colorGroup->button(0)->setChecked(true);
    }
    mkLevelControls(17);
}

QButtonGroup* MtpWindowControl::mkRadioGroup(const char* title, const char** labels, unsigned n,
                                             QGridLayout* grid, unsigned perRow) {
    auto* group = new QButtonGroup(this);
    grid->addWidget(new QLabel(tr(title)), 0, 0);
    for (unsigned i = 0; i < n; ++i) {
        auto* button = new QRadioButton(QString::fromUtf8(labels[i]));
        grid->addWidget(button, static_cast<int>(i / perRow + 1), static_cast<int>(i % perRow));
        group->addButton(button, static_cast<int>(i));
    }
    return group;
}

void MtpWindowControl::mkLevelControls(unsigned steps) {
    delete levelPanel;
    delete levelGroup;
    levelPanel = nullptr;
    levelGroup = nullptr;
    if (steps < 2) steps = 2;

    const uint32_t black = controller ? controller->blackLevel() : 0;
    const uint32_t white = controller ? controller->whiteLevel() : 0;
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < steps; ++i)
        texts.push_back(qi::formatC("%u", i * (white - black) / (steps - 1) + black));
    std::vector<const char*> labels;
    for (const std::string& t : texts)
        labels.push_back(t.c_str());

    levelPanel = new QWidget(this);
    auto* grid = new QGridLayout(levelPanel);
    grid->setVerticalSpacing(10);
    levelGroup = mkRadioGroup("Levels", labels.data(), steps, grid, 6);
    levelGroup->button(static_cast<int>(3 * steps / 4))->setChecked(true);
    pageLayout->addWidget(levelPanel);
    QObject::connect(levelGroup, &QButtonGroup::idClicked, this,
                     &MtpWindowControl::on_WinLevelGroup_idClicked);
}

void MtpWindowControl::render() {
    if (!controller) return;
    QAbstractButton* checkedLevel = levelGroup ? levelGroup->checkedButton() : nullptr;
    QAbstractButton* checkedSize = sizeGroup ? sizeGroup->checkedButton() : nullptr;
    const std::string level = checkedLevel ? checkedLevel->text().toStdString() : "";
    const std::string black = qi::formatC("%u", controller->blackLevel());
    const int colorId = colorGroup ? colorGroup->checkedId() : kWhite;

    QiArgRetVal request;
    request.set("Pattern", "Window");
    request.set(std::string("Size"), checkedSize ? checkedSize->text().toStdString() : "");
    request.set(std::string("Color_Red"), carriesLevel(colorId, 0) ? level : black);
    request.set(std::string("Color_Green"), carriesLevel(colorId, 1) ? level : black);
    request.set(std::string("Color_Blue"), carriesLevel(colorId, 2) ? level : black);
    int id = controller->setGen(request);
    if (id > 0) controller->waitForPattern(id);
}

void MtpWindowControl::on_WinSizeGroup_idClicked(int) {
    render();
}

void MtpWindowControl::on_WinStepGroup_idClicked(int) {
    QAbstractButton* checked = stepGroup->checkedButton();
    if (!checked) return;
    mkLevelControls(
        static_cast<unsigned>(qi::strtolC(checked->text().toUtf8().constData(), nullptr, 10)));
    render();
}

void MtpWindowControl::on_WinColorGroup_idClicked(int) {
    render();
}

void MtpWindowControl::on_WinLevelGroup_idClicked(int) {
    render();
}
