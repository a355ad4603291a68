#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// Sets a new administrator password, entered twice, and writes the options.
class TChangePasswordForm : public QDialog {
    Q_OBJECT
public:
    explicit TChangePasswordForm(QWidget* parent = nullptr);

private:
    void btnOKClick();

    QLineEdit* m_edtPswd = nullptr;
    QLineEdit* m_edtConfirmPswd = nullptr;
    QPushButton* m_btnOK = nullptr;
    QPushButton* m_btnCancel = nullptr;
};

// Runs the change dialog owned by the host window. It asks no password itself: the action does first.
void ChangePassword();
