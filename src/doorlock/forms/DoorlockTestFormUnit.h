#pragma once

#include <QDialog>

class QCheckBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;

// Drives the card encoder by hand: port, beeper, read, cancel and write a guest card.
class TDoorlockTestForm : public QDialog {
    Q_OBJECT
public:
    explicit TDoorlockTestForm(QWidget* parent = nullptr);

protected:
    // No default or cancel button: Esc does not close the dialog, only its close box does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FormCreate();
    void OpenPortBtnClick();
    void ClosePortBtnClick();
    void beepBtnClick();
    void ReadCardBtnClick();
    void EraseCardBtnClick();
    void WriteCardBtnClick();

    QPushButton* m_openPortBtn = nullptr;
    QPushButton* m_beepBtn = nullptr;
    QPushButton* m_closePortBtn = nullptr;
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
