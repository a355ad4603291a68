#pragma once

#include <QDialog>

class QComboBox;
class QPushButton;

// The encoder's options: the serial port, saved to Option.ini with the start-delay kept beside it.
class TOptionForm : public QDialog {
    Q_OBJECT
public:
    explicit TOptionForm(QWidget* parent = nullptr);

    QComboBox* PortNameCmb() const { return m_portNameCmb; }

private:
    void OKBtnClick();

    QComboBox* m_portNameCmb = nullptr;
    QPushButton* m_okBtn = nullptr;
    QPushButton* m_cancelBtn = nullptr;
};

// Shows the dialog modally, without an owner, centred over the host window: the window's door-lock options
// action.
void ShowOptionForm();
