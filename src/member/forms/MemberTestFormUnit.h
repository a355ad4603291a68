#pragma once

#include "forms/FormSupportUnit.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Drives the member-card back end by hand: port, beeper, read a card, write the typed card number.
class TMemberTestForm : public TDeviceTestForm {
    Q_OBJECT
public:
    explicit TMemberTestForm(QWidget* parent = nullptr);

    // -1 for exactly "酒店会员卡", 11 for any other text of the channel box.
    int CardKind() const;

private:
    void ReadCardBtnClick();
    void WriteCardBtnClick();

    QComboBox* m_channelCmb = nullptr;
    QLineEdit* m_cardNoEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QPushButton* m_readCardBtn = nullptr;
    QPushButton* m_writeCardBtn = nullptr;
};

// Creates the dialog without an owner, centred on the screen, runs it modally and frees it.
void ShowMemberTestForm();
