#pragma once

#include "doorlock/DoorlockIssueUnit.h"
#include "forms/FormSupportUnit.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

// Drives the card encoder by hand: port, beeper, read, cancel and write a guest card, with the device, store,
// settings, room turns and clock of the running request handler, so that its issues and the handler's wait
// for each other.
class TDoorlockTestForm : public TDeviceTestForm {
    Q_OBJECT
public:
    // Everything in context must outlive the dialog.
    explicit TDoorlockTestForm(const TCardIssueContext& context, QWidget* parent = nullptr);

private:
    void FormCreate();
    void ReadCardBtnClick();
    void EraseCardBtnClick();
    void WriteCardBtnClick();

    TCardIssueContext m_context;
    TBaseDoorlock* m_device; // the context's, for the port buttons
    QLineEdit* m_roomBuildingCodeTxt = nullptr;
    QLineEdit* m_roomFloorCodeTxt = nullptr;
    QLineEdit* m_roomNoTxt = nullptr;
    QLineEdit* m_checkInDateTimeTxt = nullptr;
    QLineEdit* m_checkOutDateTimeTxt = nullptr;
    QCheckBox* m_isCopyCheckBox = nullptr;
    QPushButton* m_writeCardBtn = nullptr;
    QLineEdit* m_cardNoTxt = nullptr;
    QPushButton* m_readCardBtn = nullptr;
    QPushButton* m_eraseCardBtn = nullptr;
};

// Creates the dialog without an owner, runs it modally and frees it.
void ShowDoorlockTestForm(const TCardIssueContext& context);
