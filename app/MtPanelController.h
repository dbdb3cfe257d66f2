// Option controls: the generator's option records as editable widgets.
//
// `MtPanelController` turns the option description records a generator
// publishes into Qt widgets, one per option, and sends every change the user
// makes back at once as a one-key request (three keys for a colour) through
// the panel's MtController. `MtpPattern` is the option form of one pattern,
// `MtpGenerator` the Generator page. Initial values are set before the change
// signals are connected, so building a form sends nothing. Main thread only.
#pragma once

#include "QiArgRetVal.h"

#include <QWidget>

#include <string>

class MtController;

class MtPanelController : public QWidget {
    Q_OBJECT
public:
    // `controller` is not owned (the dialog owns it).
    explicit MtPanelController(MtController* controller);

    // A new control for `record` with its value from `settings` (else the
    // record's default), its change signals tied to the slots of `parent`
    // (a MtPanelController); null for a type that gets no control
    // ("RoInteger" and unknown types).
    QWidget* makeControl(QiArgRetVal& record, QiArgRetVal& settings, QWidget* parent);

public slots:
    void on_IntegerChanged(int v);
    void on_BooleanChanged(int v);
    void on_DoubleChanged(double d);
    void on_EnumerationChanged(int ix);
    void on_RGBChanged(int v);

protected:
    // One form row per record that gets a control, in record order.
    void addRows(class QFormLayout* form, std::vector<QiArgRetVal>& records,
                 std::vector<QiArgRetVal>::size_type count, QiArgRetVal& settings);
    // Sends a one-request change; the id is not waited for.
    void send(QiArgRetVal& request);

    MtController* controller;
};

// The option form of one pattern. With `apply` set it first sends `args` with
// "Pattern" = `name` and waits until the generator has applied it.
class MtpPattern : public MtPanelController {
    Q_OBJECT
public:
    MtpPattern(MtController* controller, const char* name, QiArgRetVal& args, bool apply);
};

// The Generator page: every generator option, and a Snapshot button when
// `allowSnapshot` is set.
class MtpGenerator : public MtPanelController {
    Q_OBJECT
public:
    MtpGenerator(MtController* controller, bool allowSnapshot);

public slots:
    void on_PbSnapshot_clicked();
};

// Saves the current frame through `c` as "marlowtide-%02d.png", numbered by
// one counter for the whole process (00, 01, ... 99, 100, ...). The counter
// advances whether or not a file was written. A null controller is ignored.
void doSnapshot(MtController* c);
