#include "MtPanelDialog.h"

#include "BcServiceRequestor.h"
#include "MtController.h"
#include "MtPanelController.h"
#include "MtPanelPages.h"
#include "OsDep.h"

#include <QByteArray>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <cstring>

namespace {

const WidgetDef skPanelButtons[] = {
    {"Generator", "PbGenerator"},
    {"Calibrate", "PbCalibrate"},
    {"Performance", "PbPerformance"},
    {"Patterns", "PbPatterns"},
};

bool recordAt(QComboBox* list, int ix, BcServiceRsp& out) {
    const QByteArray bytes = list->itemData(ix, Qt::UserRole).toByteArray();
    if (bytes.size() != static_cast<qsizetype>(sizeof out)) return false;
    std::memcpy(&out, bytes.constData(), sizeof out);
    out.ip[sizeof out.ip - 1] = '\0';
    return true;
}

} // namespace

MtPanelDialog::MtPanelDialog(OsDep& os, bool showGenerator, bool snapshot,
                             BcServiceRequestor* discovery)
    : QDialog(nullptr), osDep(os), requestor(discovery ? discovery : new BcServiceRequestor),
      allowSnapshot(snapshot) {
    requestor->init();
    requestor->ping(250);

    mainLayout = new QVBoxLayout;
    if (showGenerator) {
        generatorList = new QComboBox(this);
        generatorList->setObjectName("CbGenerator");
        mainLayout->addWidget(generatorList);
        for (const BcServiceRsp& rsp : requestor->getList())
            generatorList->addItem(QString::fromLatin1(rsp.nameText().c_str()),
                                   QByteArray(reinterpret_cast<const char*>(&rsp), sizeof rsp));
    }
    buttonRow = new QHBoxLayout;
    mainLayout->addLayout(buttonRow);
    addButtons(buttonRow, skPanelButtons, 4);

    setLayout(mainLayout);
    setObjectName("MtPanelDialog");
    QMetaObject::connectSlotsByName(this);
    osDep.setAppForeground(true);
}

MtPanelDialog::~MtPanelDialog() {
    delete page; // before the controller it uses
    delete controller;
    delete requestor; // stops and joins the discovery thread
}

void MtPanelDialog::replaceController(MtController* c) {
    // A page keeps a plain pointer to its controller: it goes first.
    clearPanel(nullptr);
    delete controller;
    controller = c;
}

void MtPanelDialog::connect(MtCore& core) {
    replaceController(new MtCoreController(core));
}

void MtPanelDialog::connect(const char* host, unsigned port) {
    replaceController(new MtXmlController(host, port));
}

void MtPanelDialog::clearPanel(QWidget* w) {
    delete page;
    page = w;
    if (page) mainLayout->addWidget(page);
}

void MtPanelDialog::checkGenConnection() {
    if (controller || !generatorList || generatorList->currentIndex() < 0) return;
    BcServiceRsp rsp;
    if (recordAt(generatorList, generatorList->currentIndex(), rsp))
        controller = new MtXmlController(rsp.ip, rsp.port);
}

void MtPanelDialog::on_CbGenerator_currentIndexChanged(int ix) {
    BcServiceRsp rsp;
    if (!generatorList || ix < 0 || !recordAt(generatorList, ix, rsp)) return;
    connect(rsp.ip, rsp.port);
    on_PbGenerator_clicked();
}

void MtPanelDialog::on_PbGenerator_clicked() {
    checkGenConnection();
    if (controller) clearPanel(new MtpGenerator(controller, allowSnapshot));
}

void MtPanelDialog::on_PbCalibrate_clicked() {
    checkGenConnection();
    if (controller) clearPanel(new MtpCalibrate(controller));
}

void MtPanelDialog::on_PbPerformance_clicked() {
    checkGenConnection();
    if (controller) clearPanel(new MtpPerformance(controller));
}

void MtPanelDialog::on_PbPatterns_clicked() {
    checkGenConnection();
    if (controller) clearPanel(new MtpPatterns(controller));
}

void MtPanelDialog::keyPressEvent(QKeyEvent* e) {
    if (e->modifiers() == Qt::ControlModifier && e->key() == Qt::Key_S && allowSnapshot &&
        controller) {
        doSnapshot(controller);
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void MtPanelDialog::done(int r) {
    QDialog::done(r);
    osDep.setAppForeground(false);
    // The answers have been read; the listener need not run out its 8 s.
    requestor->stop();
}
