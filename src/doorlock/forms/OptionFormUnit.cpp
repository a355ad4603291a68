#include "doorlock/forms/OptionFormUnit.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "forms/FormSupportUnit.h"
#include "platform/CodePageUnit.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

TOptionForm::TOptionForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(QStringLiteral("门锁接口配置"));
    setFixedSize(280, 163);

    auto* label = new QLabel(QStringLiteral("端    口："), this);
    label->setObjectName(QStringLiteral("Label1"));
    label->move(40, 52);
    label->adjustSize();

    m_portNameCmb = new QComboBox(this);
    m_portNameCmb->setObjectName(QStringLiteral("PortNameCmb"));
    m_portNameCmb->setEditable(false);
    m_portNameCmb->setGeometry(112, 48, 121, 24);
    for (int i = 1; i <= 6; ++i)
        m_portNameCmb->addItem(QStringLiteral("COM%1").arg(i));
    // A stored port that is not in the list selects nothing.
    m_portNameCmb->setCurrentIndex(
        Option != nullptr
            ? m_portNameCmb->findText(ToQString(Option->PortName), Qt::MatchExactly | Qt::MatchCaseSensitive)
            : -1);

    m_okBtn = new QPushButton(QStringLiteral("确定"), this);
    m_okBtn->setObjectName(QStringLiteral("OKBtn"));
    m_okBtn->setGeometry(56, 112, 75, 25);
    m_okBtn->setDefault(true);

    m_cancelBtn = new QPushButton(QStringLiteral("取消"), this);
    m_cancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    m_cancelBtn->setGeometry(152, 112, 75, 25);

    setTabOrder(m_portNameCmb, m_okBtn);
    setTabOrder(m_okBtn, m_cancelBtn);

    connect(m_okBtn, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { OKBtnClick(); }); });
    connect(m_cancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TOptionForm::OKBtnClick() {
    if (Option == nullptr)
        return;
    // With nothing selected the text is empty, and so is the saved port.
    Option->PortName = FromQString(m_portNameCmb->currentText());
    // A failed write stops here: the dialog stays open and the operator may cancel.
    Option->SaveOption();
    ShowMessageBox(this, QStringLiteral("提示"), QStringLiteral("请重新启动程序,以启用设置的参数！"),
                   QMessageBox::Information);
    accept();
}

void ShowOptionForm() {
    TOptionForm form;
    CentreWindow(&form, HostWindow());
    form.exec();
}
