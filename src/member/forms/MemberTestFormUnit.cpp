#include "member/forms/MemberTestFormUnit.h"

#include "forms/FormSupportUnit.h"
#include "member/BaseMemberUnit.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TMemberTestForm::TMemberTestForm(QWidget* parent) : TDeviceTestForm(parent, "MemberTestForm", 441, 311) {
    AddPortButtons(16, 24, 160, 296, PortActionsOf(CurrentMember));

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

    OnClick(m_readCardBtn, [this] { ReadCardBtnClick(); });
    OnClick(m_writeCardBtn, [this] { WriteCardBtnClick(); });
}

int TMemberTestForm::CardKind() const {
    return m_channelCmb->currentText() == QStringLiteral("酒店会员卡") ? MemberCardKindHotel
                                                                       : MemberCardKindAlliance;
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
