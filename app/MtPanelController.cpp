#include "MtPanelController.h"

#include "MtController.h"
#include "QiCLocale.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <atomic>
#include <cstdint>

namespace {

const char* const sColors[] = {"Red", "Green", "Blue", nullptr};

std::string text(const QiArgRetVal& args, const std::string& key) {
    const char* v = nullptr;
    return args.find(key.c_str(), &v) ? std::string(v) : std::string();
}

// Option texts read as C would: leading blanks and sign, a 0x or 0 prefix
// choosing the base, up to the first character that does not fit; 0 when
// there is no number.
int integerOf(const std::string& s) {
    return static_cast<int>(qi::strtolC(s.c_str(), nullptr, 0));
}
double realOf(const std::string& s) {
    return qi::strtodC(s.c_str(), nullptr);
}

std::atomic<unsigned long long> sSnapshotCounter{0};

} // namespace

void doSnapshot(MtController* c) {
    if (!c) return;
    // 64 bits and a string: the counter never wraps in practice and the name
    // grows with it ("marlowtide-100.png" after "marlowtide-99.png").
    unsigned long long n = sSnapshotCounter.fetch_add(1);
    std::string name = qi::formatC("marlowtide-%02llu.png", n);
    (void)c->snapshot(name.c_str());
}

MtPanelController::MtPanelController(MtController* c) : QWidget(nullptr), controller(c) {}

QWidget* MtPanelController::makeControl(QiArgRetVal& record, QiArgRetVal& settings,
                                        QWidget* parent) {
    const std::string name = text(record, "Name");
    std::string value =
        record.find("DefaultValue") ? text(record, "DefaultValue") : text(record, "Value");
    if (settings.find(name)) value = text(settings, name);
    const std::string type = text(record, "DataType");

    QWidget* control = nullptr;
    if (type == "Integer") {
        auto* box = new QSpinBox(parent);
        box->setMaximum(integerOf(text(record, "MaxValue")));
        box->setMinimum(integerOf(text(record, "MinValue")));
        box->setValue(integerOf(value));
        QObject::connect(box, SIGNAL(valueChanged(int)), parent, SLOT(on_IntegerChanged(int)));
        control = box;
    } else if (type == "Boolean") {
        auto* box = new QCheckBox(parent);
        box->setChecked(value == "1");
        QObject::connect(box, SIGNAL(stateChanged(int)), parent, SLOT(on_BooleanChanged(int)));
        control = box;
    } else if (type == "String") {
        control = new QLabel(QString::fromStdString("String: " + value), parent);
    } else if (type == "Double") {
        auto* box = new QDoubleSpinBox(parent);
        box->setMaximum(realOf(text(record, "MaxValue")));
        box->setMinimum(realOf(text(record, "MinValue")));
        box->setValue(realOf(value));
        QObject::connect(box, SIGNAL(valueChanged(double)), parent, SLOT(on_DoubleChanged(double)));
        control = box;
    } else if (type == "Enumeration") {
        auto* box = new QComboBox(parent);
        const int n = integerOf(text(record, "nVal"));
        int selected = 0;
        for (int i = 0; i < n; ++i) {
            const std::string item = text(record, name + qi::formatC("%d", i));
            box->addItem(QString::fromStdString(item));
            if (item == value) selected = i;
        }
        if (n > 0) box->setCurrentIndex(selected);
        QObject::connect(box, SIGNAL(currentIndexChanged(int)), parent,
                         SLOT(on_EnumerationChanged(int)));
        control = box;
    } else if (type == "RGB") {
        auto* box = new QWidget(parent);
        auto* columns = new QHBoxLayout(box);
        const uint32_t depth = controller ? controller->bitDepth() : 8u;
        const int maximum = static_cast<int>((uint32_t(1) << (depth % 32)) - 1);
        for (const char* const* c = sColors; *c; ++c) {
            const std::string component = *c;
            std::string v = text(record, "Value");
            const std::string defaultKey = "DefaultValue" + component.substr(0, 1);
            if (record.find(defaultKey)) v = text(record, defaultKey);
            const std::string key = name + "_" + component;
            if (settings.find(key)) v = text(settings, key);

            auto* column = new QVBoxLayout;
            auto* spin = new QSpinBox(box);
            spin->setMinimum(0);
            spin->setMaximum(maximum);
            spin->setValue(integerOf(v));
            spin->setObjectName(QString::fromStdString(key));
            column->addWidget(spin);
            column->addWidget(new QLabel(QString::fromStdString(component), box));
            columns->addLayout(column);
            QObject::connect(spin, SIGNAL(valueChanged(int)), parent, SLOT(on_RGBChanged(int)));
        }
        control = box;
    } else {
        return nullptr;
    }
    control->setObjectName(QString::fromStdString(name));
    return control;
}

void MtPanelController::addRows(QFormLayout* form, std::vector<QiArgRetVal>& records,
                                std::vector<QiArgRetVal>::size_type count, QiArgRetVal& settings) {
    for (std::vector<QiArgRetVal>::size_type i = 0; i < count && i < records.size(); ++i) {
        QWidget* control = makeControl(records[i], settings, this);
        if (!control) continue;
        form->addRow(new QLabel(QString::fromStdString(text(records[i], "Name")), this), control);
    }
}

void MtPanelController::send(QiArgRetVal& request) {
    if (controller) (void)controller->setGen(request);
}

void MtPanelController::on_IntegerChanged(int) {
    auto* box = qobject_cast<QSpinBox*>(sender());
    if (!box) return;
    QiArgRetVal request;
    request.set(box->objectName().toStdString(), qi::formatC("%d", box->value()));
    send(request);
}

void MtPanelController::on_BooleanChanged(int) {
    auto* box = qobject_cast<QCheckBox*>(sender());
    if (!box) return;
    QiArgRetVal request;
    request.set(box->objectName().toStdString(), std::string(box->isChecked() ? "1" : "0"));
    send(request);
}

void MtPanelController::on_DoubleChanged(double) {
    auto* box = qobject_cast<QDoubleSpinBox*>(sender());
    if (!box) return;
    QiArgRetVal request;
    request.set(box->objectName().toStdString(), qi::formatC("%g", box->value()));
    send(request);
}

void MtPanelController::on_EnumerationChanged(int ix) {
    auto* box = qobject_cast<QComboBox*>(sender());
    if (!box || ix < 0) return;
    QiArgRetVal request;
    request.set(box->objectName().toStdString(), box->itemText(ix).toStdString());
    send(request);
}

void MtPanelController::on_RGBChanged(int) {
    auto* spin = qobject_cast<QSpinBox*>(sender());
    if (!spin || !spin->parentWidget()) return;
    // Only the last "_" separates the component, so option names may hold "_".
    const QString own = spin->objectName();
    const QString base = own.left(own.lastIndexOf(QLatin1Char('_')));
    QiArgRetVal request;
    for (const char* const* c = sColors; *c; ++c) {
        const QString key = base + "_" + QLatin1String(*c);
        auto* component = spin->parentWidget()->findChild<QSpinBox*>(key);
        if (!component) return; // not one of our colour controls: send nothing
        request.set(key.toStdString(), qi::formatC("%d", component->value()));
    }
    send(request);
}

MtpPattern::MtpPattern(MtController* c, const char* name, QiArgRetVal& args, bool apply)
    : MtPanelController(c) {
    auto* form = new QFormLayout(this);
    const std::string pattern = name ? name : "";
    if (apply && controller) {
        args.set("Pattern", pattern);
        int id = controller->setGen(args);
        if (id > 0) controller->waitForPattern(id);
    }
    QiArgRetVal settings;
    std::vector<QiArgRetVal> records;
    if (controller) {
        controller->patternSettings(settings);
        controller->patternOpts(pattern.c_str(), records);
    }
    addRows(form, records, records.size(), settings);
}

MtpGenerator::MtpGenerator(MtController* c, bool allowSnapshot) : MtPanelController(c) {
    auto* form = new QFormLayout(this);
    QiArgRetVal settings;
    std::vector<QiArgRetVal> records;
    if (controller) {
        controller->generatorSettings(settings);
        controller->generatorOpts(records);
    }
    // The list ends with the current settings and the current pattern's
    // arguments, which are no option records.
    addRows(form, records, records.size() > 2 ? records.size() - 2 : 0, settings);
    if (allowSnapshot) {
        auto* button = new QPushButton(tr("Snapshot"), this);
        button->setObjectName("PbSnapshot");
        button->setAutoDefault(false);
        form->addRow(new QLabel(this), button);
    }
    QMetaObject::connectSlotsByName(this);
}

void MtpGenerator::on_PbSnapshot_clicked() {
    doSnapshot(controller);
}
