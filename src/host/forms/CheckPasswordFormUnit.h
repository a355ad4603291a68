#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// The administrator password prompt.
class TCheckPasswordForm : public QDialog {
    Q_OBJECT
public:
    explicit TCheckPasswordForm(QWidget* parent = nullptr);

private:
    void btnOKClick();

    QLineEdit* m_edtPswd = nullptr;
    QPushButton* m_btnOK = nullptr;
    QPushButton* m_btnCancel = nullptr;
};

// Runs the prompt owned by the host window; true only when it ended with OK (the right password).
bool CheckPassword();

// The look of the password entries: one "*" per character.
void SetPasswordEcho(QLineEdit* entry);
