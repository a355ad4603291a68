#include "host/forms/ChangePasswordFormUnit.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/forms/CheckPasswordFormUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/SysOptionUnit.h"

#include <QLineEdit>

namespace {

// The code page would store "?" for a character it cannot hold, and any such character would then pass.
bool FitsCodePage(const QString& text) {
    return ToQString(FromQString(text)) == text;
}

} // namespace

TChangePasswordForm::TChangePasswordForm(QWidget* parent)
    : TPasswordForm(parent, "ChangePasswordForm", QStringLiteral("更改管理员密码"), 346, 163) {
    AddKeyPicture(20, 24, 48, ":/host/images/key48.png");
    m_edtPswd = AddPasswordEntry("Label1", QStringLiteral("新密码："), 88, 32, "edtPswd", 176, 28, 145);
    m_edtConfirmPswd =
        AddPasswordEntry("Label2", QStringLiteral("新密码确认："), 88, 68, "edtConfirmPswd", 176, 64, 145);
    AddButtons(150, 246, 116, [this] { btnOKClick(); });
}

void TChangePasswordForm::btnOKClick() {
    const std::string password = Trim(FromQString(m_edtPswd->text()));
    const std::string confirmed = Trim(FromQString(m_edtConfirmPswd->text()));
    if (password != confirmed) {
        ShowMessageBox(this, QStringLiteral("提示"), QStringLiteral("您两次输入的密码不一致，请重新输入！"),
                       QMessageBox::Critical);
        return;
    }
    if (!FitsCodePage(m_edtPswd->text()) || !FitsCodePage(m_edtConfirmPswd->text())) {
        ShowMessageBox(this, QStringLiteral("提示"), QStringLiteral("密码中含有无法保存的字符，请重新输入！"),
                       QMessageBox::Critical);
        return;
    }
    if (SysOption == nullptr)
        return;
    // The new password is in force from here on, even when writing it out fails below.
    SysOption->Password = password;
    SysOption->SaveOption();
    // The door-lock kind's issuing keys are written with the password, as they were loaded at start-up.
    if (Option != nullptr)
        Option->SaveIssueOption();
    ShowMessageBox(this, QStringLiteral("提示"), QStringLiteral("管理员密码更改成功！"),
                   QMessageBox::Information);
    accept();
}

void ChangePassword() {
    TChangePasswordForm form(HostWindow());
    form.exec();
}
