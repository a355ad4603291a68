#pragma once

#include <QDialog>

class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

// Drives the member-card back end by hand: port, beeper, read a card, write the typed card number.
class TMemberTestForm : public QDialog {
    Q_OBJECT
public:
    explicit TMemberTestForm(QWidget* parent = nullptr);

    // -1 for exactly "酒店会员卡", 11 for any other text of the channel box.
    int CardKind() const;

protected:
    // No default or cancel button: Esc does not close the dialog, only its close box does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OpenPortBtnClick();
    void ClosePortBtnClick();
    void beepBtnClick();
    void ReadCardBtnClick();
    void WriteCardBtnClick();

    QPushButton* m_openPortBtn = nullptr;
    QPushButton* m_beepBtn = nullptr;
    QPushButton* m_closePortBtn = nullptr;
    QComboBox* m_channelCmb = nullptr;
    QLineEdit* m_cardNoEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QPushButton* m_readCardBtn = nullptr;
    QPushButton* m_writeCardBtn = nullptr;
};

// Creates the dialog without an owner, centred on the screen, runs it modally and frees it.
void ShowMemberTestForm();
