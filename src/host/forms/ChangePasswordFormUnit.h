#pragma once

#include "host/forms/CheckPasswordFormUnit.h"

class QLineEdit;

// Sets a new administrator password, entered twice, and writes the options.
class TChangePasswordForm : public TPasswordForm {
    Q_OBJECT
public:
    explicit TChangePasswordForm(QWidget* parent = nullptr);

private:
    void btnOKClick();

    QLineEdit* m_edtPswd = nullptr;
    QLineEdit* m_edtConfirmPswd = nullptr;
};

// Runs the change dialog owned by the host window. It asks no password itself: the action does first.
void ChangePassword();
