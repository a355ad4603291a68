#include "host/forms/AboutFormUnit.h"

#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/forms/HostFormsUnit.h"

#include <QFont>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    InitFormResources();
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("关于..."));
    setFixedSize(413, 262);

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setGeometry(8, 12, 132, 238);
    // Through the JPEG image plugin; without it the place stays empty.
    QImageReader reader(QStringLiteral(":/host/images/about.jpg"));
    const QImage image = reader.read();
    if (!image.isNull())
        picture->setPixmap(QPixmap::fromImage(image));

    QLabel* title = AddLabel(this, "lblAppTitle", QString(), 156, 16);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    title->setFont(titleFont);
    title->setFixedSize(245, 28);

    AddLabel(this, "lblVersion", QString(), 156, 52);
    AddLabel(this, "lblMaker", QStringLiteral("Vantrel 酒店信息系统部"), 156, 76);
    AddLabel(this, "lblCopyright", QStringLiteral("Copyright (C) Vantrel Hotel Systems"), 156, 96);

    auto* mmo = new QPlainTextEdit(this);
    mmo->setObjectName(QStringLiteral("mmo"));
    mmo->setGeometry(156, 122, 245, 92);
    mmo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmo->setEnabled(false);

    auto* btnOK = new QPushButton(QStringLiteral("确定(&O)"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(326, 226, 75, 25);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);

    RunGuarded(this, [this] { FormCreate(); });
}

void TAboutForm::FormCreate() {
    const QString title = ToQString(KindTitle(InterfaceKind));
    // Every kind the host serves has a title; the member-card kind gets the same treatment as the others.
    if (!title.isEmpty()) {
        setWindowTitle(QStringLiteral("关于 ") + title);
        auto* lblAppTitle = findChild<QLabel*>(QStringLiteral("lblAppTitle"));
        lblAppTitle->setText(title);
    }
    auto* lblVersion = findChild<QLabel*>(QStringLiteral("lblVersion"));
    lblVersion->setText(QStringLiteral("版本 ") + QString::fromLatin1(DOORLOCK_VERSION));
    lblVersion->adjustSize();
}

void ShowAboutForm() {
    TAboutForm form;
    CentreWindow(&form, nullptr);
    form.exec();
}
