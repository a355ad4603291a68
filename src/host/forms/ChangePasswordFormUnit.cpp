#include "host/forms/ChangePasswordFormUnit.h"

#include "forms/FormSupportUnit.h"
#include "host/forms/CheckPasswordFormUnit.h"
#include "host/forms/HostFormsUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/SysOptionUnit.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

namespace {

// The code page would store "?" for a character it cannot hold, and any such character would then pass.
bool FitsCodePage(const QString& text) {
    return ToQString(FromQString(text)) == text;
}

} // namespace

TChangePasswordForm::TChangePasswordForm(QWidget* parent) : QDialog(parent) {
    InitFormResources();
    setObjectName(QStringLiteral("ChangePasswordForm"));
    setWindowTitle(QStringLiteral("更改管理员密码"));
    setFixedSize(346, 163);

    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setGeometry(20, 24, 48, 48);
    image->setPixmap(QPixmap(QStringLiteral(":/host/images/key48.png")));

    auto* label1 = new QLabel(QStringLiteral("新密码："), this);
    label1->setObjectName(QStringLiteral("Label1"));
    label1->move(88, 32);
    label1->adjustSize();
    m_edtPswd = new QLineEdit(this);
    m_edtPswd->setObjectName(QStringLiteral("edtPswd"));
    m_edtPswd->setGeometry(176, 28, 145, 21);
    SetPasswordEcho(m_edtPswd);

    auto* label2 = new QLabel(QStringLiteral("新密码确认："), this);
    label2->setObjectName(QStringLiteral("Label2"));
    label2->move(88, 68);
    label2->adjustSize();
    m_edtConfirmPswd = new QLineEdit(this);
    m_edtConfirmPswd->setObjectName(QStringLiteral("edtConfirmPswd"));
    m_edtConfirmPswd->setGeometry(176, 64, 145, 21);
    SetPasswordEcho(m_edtConfirmPswd);

    m_btnOK = new QPushButton(QStringLiteral("确定"), this);
    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setGeometry(150, 116, 75, 25);
    m_btnOK->setDefault(true);

    m_btnCancel = new QPushButton(QStringLiteral("取消"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnCancel->setGeometry(246, 116, 75, 25);

    setTabOrder(m_edtPswd, m_edtConfirmPswd);
    setTabOrder(m_edtConfirmPswd, m_btnOK);
    setTabOrder(m_btnOK, m_btnCancel);
    m_edtPswd->setFocus();

    connect(m_btnOK, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { btnOKClick(); }); });
    connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);
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
    ShowMessageBox(this, QStringLiteral("提示"), QStringLiteral("管理员密码更改成功！"),
                   QMessageBox::Information);
    accept();
}

void ChangePassword() {
    TChangePasswordForm form(HostWindow());
    form.exec();
}
