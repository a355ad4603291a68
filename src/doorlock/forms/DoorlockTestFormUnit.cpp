#include "doorlock/forms/DoorlockTestFormUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockIssueUnit.h"
#include "forms/FormSupportUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/SysUtilsUnit.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TDoorlockTestForm::TDoorlockTestForm(const TCardIssueContext& context, QWidget* parent)
    : TDeviceTestForm(parent, "DoorlockTestForm", 599, 394), m_context(context), m_device(context.Device) {
    AddPortButtons(32, 48, 176, 304, PortActionsOf(m_device));

    AddLabel(this, "Label1", QStringLiteral("楼号:"), 48, 98);
    m_roomBuildingCodeTxt = AddEntry(this, "RoomBuildingCodeTxt", QStringLiteral("00"), 96, 96, 73);
    AddLabel(this, "Label2", QStringLiteral("楼层:"), 200, 98);
    m_roomFloorCodeTxt = AddEntry(this, "RoomFloorCodeTxt", QStringLiteral("01"), 248, 96, 73);
    AddLabel(this, "Label3", QStringLiteral("房号:"), 352, 98);
    m_roomNoTxt = AddEntry(this, "RoomNoTxt", QStringLiteral("01"), 400, 96, 73);

    AddLabel(this, "Label4", QStringLiteral("起始时间："), 48, 158);
    m_checkInDateTimeTxt = AddEntry(this, "CheckInDateTimeTxt", QString(), 128, 156, 161);
    AddLabel(this, "Label5", QStringLiteral("到"), 304, 158);
    m_checkOutDateTimeTxt = AddEntry(this, "CheckOutDateTimeTxt", QString(), 328, 156, 161);

    m_isCopyCheckBox = new QCheckBox(QStringLiteral("复制"), this);
    m_isCopyCheckBox->setObjectName(QStringLiteral("IsCopyCheckBox"));
    m_isCopyCheckBox->setGeometry(128, 220, 97, 21);
    m_writeCardBtn = AddButton(this, "WriteCardBtn", QStringLiteral("写卡"), 328, 218);

    AddLabel(this, "Label6", QStringLiteral("卡号"), 48, 290);
    m_cardNoTxt = AddEntry(this, "CardNoTxt", QString(), 128, 288, 161);
    m_readCardBtn = AddButton(this, "ReadCardBtn", QStringLiteral("读卡"), 328, 286);
    m_eraseCardBtn = AddButton(this, "EraseCardBtn", QStringLiteral("销卡"), 432, 286);

    OnClick(m_readCardBtn, [this] { ReadCardBtnClick(); });
    OnClick(m_eraseCardBtn, [this] { EraseCardBtnClick(); });
    OnClick(m_writeCardBtn, [this] { WriteCardBtnClick(); });

    RunGuarded(this, [this] { FormCreate(); });
}

void TDoorlockTestForm::FormCreate() {
    // One reading of the clock for both entries: they lie exactly one hour before and two days after it.
    const TDateTime now = m_context.Clock();
    m_checkInDateTimeTxt->setText(ToQString(FormatDateTime("yyyy-mm-dd hh:nn:ss", IncMinutes(now, -60))));
    m_checkOutDateTimeTxt->setText(ToQString(FormatDateTime("yyyy-mm-dd hh:nn:ss", now + 2)));
}

void TDoorlockTestForm::ReadCardBtnClick() {
    int64_t cardNo = 0;
    if (m_device != nullptr)
        m_device->ReadCard(cardNo);
    m_cardNoTxt->setText(ToQString(IntToStr(cardNo)));
}

void TDoorlockTestForm::EraseCardBtnClick() {
    if (m_device != nullptr)
        m_device->EraseCard();
}

void TDoorlockTestForm::WriteCardBtnClick() {
    TCardIssue issue;
    issue.RoomBuildingCode = FromQString(m_roomBuildingCodeTxt->text());
    issue.RoomFloorCode = FromQString(m_roomFloorCodeTxt->text());
    issue.RoomNo = FromQString(m_roomNoTxt->text());
    // Both times are parsed before anything is called, so a bad entry leaves device and store untouched.
    issue.RequestedStart = StrToDateTime(FromQString(m_checkInDateTimeTxt->text()));
    issue.CheckOut = StrToDateTime(FromQString(m_checkOutDateTimeTxt->text()));
    issue.IsCopy = m_isCopyCheckBox->isChecked();
    issue.GuestName = "Test";
    issue.Source = DeskOperatorSource();
    int64_t cardNo = 0;
    IssueCardWithRecords(m_context, issue, cardNo);
}

void ShowDoorlockTestForm(const TCardIssueContext& context) {
    TDoorlockTestForm form(context);
    CentreWindow(&form, nullptr);
    form.exec();
}
