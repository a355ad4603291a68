#include "member/forms/MemberTestFormUnit.h"

#include "forms/FormSupportUnit.h"
#include "member/BaseMemberUnit.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TMemberTestForm::TMemberTestForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("MemberTestForm"));
    setWindowTitle(QStringLiteral("测试"));
    setFixedSize(441, 311);

    m_openPortBtn = AddButton(this, "OpenPortBtn", QStringLiteral("打开串口"), 24, 16);
    m_beepBtn = AddButton(this, "beepBtn", QStringLiteral("Beep"), 160, 16);
    m_closePortBtn = AddButton(this, "ClosePortBtn", QStringLiteral("关闭串口"), 296, 16);

    QLabel* label3 = AddLabel(this, "Label3", QStringLiteral("类型"), 94, 83);
    label3->setFixedWidth(32);
    m_channelCmb = new QComboBox(this);
    m_channelCmb->setObjectName(QStringLiteral("ChannelCmb"));
    m_channelCmb->setEditable(true);
    m_channelCmb->addItem(QStringLiteral("酒店会员卡"));
    m_channelCmb->addItem(QStringLiteral("Vantrel联盟卡"));
    m_channelCmb->setCurrentIndex(0);
    m_channelCmb->setGeometry(150, 77, 169, m_channelCmb->sizeHint().height());

    AddLabel(this, "Label1", QStringLiteral("卡号"), 94, 133);
    m_cardNoEdit = AddEntry(this, "CardNoEdit", QString(), 150, 125, 169);
    AddLabel(this, "Label2", QStringLiteral("密码:"), 94, 173);
    m_passwordEdit = AddEntry(this, "PasswordEdit", QString(), 150, 165, 169);

    m_readCardBtn = AddButton(this, "ReadCardBtn", QStringLiteral("读卡"), 118, 221);
    m_writeCardBtn = AddButton(this, "WriteCardBtn", QStringLiteral("写卡"), 238, 221);

    QWidget* const tabOrder[] = {m_openPortBtn, m_closePortBtn, m_cardNoEdit, m_passwordEdit,
                                 m_readCardBtn, m_writeCardBtn, m_beepBtn,    m_channelCmb};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    m_openPortBtn->setFocus();

    const auto guarded = [this](void (TMemberTestForm::*handler)()) {
        return [this, handler] { RunGuarded(this, [this, handler] { (this->*handler)(); }); };
    };
    connect(m_openPortBtn, &QPushButton::clicked, this, guarded(&TMemberTestForm::OpenPortBtnClick));
    connect(m_closePortBtn, &QPushButton::clicked, this, guarded(&TMemberTestForm::ClosePortBtnClick));
    connect(m_beepBtn, &QPushButton::clicked, this, guarded(&TMemberTestForm::beepBtnClick));
    connect(m_readCardBtn, &QPushButton::clicked, this, guarded(&TMemberTestForm::ReadCardBtnClick));
    connect(m_writeCardBtn, &QPushButton::clicked, this, guarded(&TMemberTestForm::WriteCardBtnClick));
}

void TMemberTestForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

int TMemberTestForm::CardKind() const {
    return m_channelCmb->currentText() == QStringLiteral("酒店会员卡") ? MemberCardKindHotel
                                                                       : MemberCardKindAlliance;
}

void TMemberTestForm::OpenPortBtnClick() {
    if (CurrentMember != nullptr)
        CurrentMember->OpenPort();
}

void TMemberTestForm::ClosePortBtnClick() {
    if (CurrentMember != nullptr)
        CurrentMember->ClosePort();
}

void TMemberTestForm::beepBtnClick() {
    if (CurrentMember != nullptr)
        CurrentMember->Beep();
}

void TMemberTestForm::ReadCardBtnClick() {
    if (CurrentMember == nullptr)
        return;
    std::string cardNo, password, expireDate, guestName, score;
    CurrentMember->ReadMemberCard(false, cardNo, password, expireDate, guestName, score, CardKind());
    // Shown whatever the read returned, exactly as the back end set them.
    m_cardNoEdit->setText(ToQString(cardNo));
    m_passwordEdit->setText(ToQString(password));
}

void TMemberTestForm::WriteCardBtnClick() {
    if (CurrentMember == nullptr)
        return;
    CurrentMember->WriteMemberCard(FromQString(m_cardNoEdit->text()), std::string(), std::string(),
                                   std::string(), CardKind());
}

void ShowMemberTestForm() {
    TMemberTestForm form;
    CentreWindow(&form, nullptr);
    form.exec();
}
