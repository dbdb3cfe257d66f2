#include "RynAbout.h"

#include "OsDep.h"

#include <QGridLayout>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>

#include <ifaddrs.h>

RynAbout::RynAbout(const char* picturePath, const char* versionText)
    : QDialog(nullptr), version(versionText), aboutPicturePath(picturePath) {}

RynAbout::~RynAbout() = default;

QStringList RynAbout::addressLines(const ifaddrs* list) {
    QStringList lines;
    for (const IfAddr& a : OsDep::ipAddrsFrom(list))
        lines << QString::fromLocal8Bit(a.ifName.c_str()) + QStringLiteral(": ") +
                     QString::fromLatin1(a.ipText.c_str());
    return lines;
}

void RynAbout::build() {
    QGridLayout* layout = new QGridLayout;

    QLabel* picture = new QLabel;
    picture->setPixmap(QPixmap(QString::fromUtf8(aboutPicturePath))); // empty when missing
    layout->addWidget(picture, 0, 0, 1, 2, Qt::AlignCenter);

    QLabel* versionLine = new QLabel(tr("Kettlebright: ") + QString::fromUtf8(version));
    layout->addWidget(versionLine, 1, 0, 1, 2, Qt::AlignCenter);

    layout->addWidget(new QLabel(tr("IP Addresses")), 2, 0, 1, 3);

    QPlainTextEdit* addresses = new QPlainTextEdit;
    addresses->setReadOnly(true);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (const QString& line : addressLines(list))
            addresses->appendPlainText(line);
        freeifaddrs(list);
    }
    layout->addWidget(addresses, 3, 0, 2, 1, Qt::AlignLeft | Qt::AlignTop);
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(1, 1);

    setLayout(layout); // the widgets become the dialog's children
}

void RynAbout::takeDown() {
    delete layout();
    qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
}

int RynAbout::exec() {
    build();
    setModal(true);
    int result = QDialog::exec();
    // Take the widgets down so the next opening builds a fresh layout.
    takeDown();
    return result;
}

void RynAbout::present() {
    if (!isVisible()) {
        // The widgets of the last opening go only now: closing the box may
        // happen inside an event that one of them is still handling.
        takeDown();
        build();
        setModal(false);
        show();
    }
    raise();
    activateWindow();
}
