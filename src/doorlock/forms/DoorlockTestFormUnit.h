#pragma once

#include "forms/FormSupportUnit.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

// Drives the card encoder by hand: port, beeper, read, cancel and write a guest card.
class TDoorlockTestForm : public TDeviceTestForm {
    Q_OBJECT
public:
    explicit TDoorlockTestForm(QWidget* parent = nullptr);

private:
    void FormCreate();
    void ReadCardBtnClick();
    void EraseCardBtnClick();
    void WriteCardBtnClick();

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
void ShowDoorlockTestForm();
