#include "host/forms/CheckPasswordFormUnit.h"

#include "forms/FormSupportUnit.h"
#include "host/forms/HostFormsUnit.h"
#include "server/SysOptionUnit.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

void SetPasswordEcho(QLineEdit* entry) {
    entry->setEchoMode(QLineEdit::Password);
    entry->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
}

TCheckPasswordForm::TCheckPasswordForm(QWidget* parent) : QDialog(parent) {
    InitFormResources();
    setObjectName(QStringLiteral("CheckPasswordForm"));
    setWindowTitle(QStringLiteral("请输入管理员密码"));
    setFixedSize(306, 140);

    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setGeometry(24, 24, 32, 32);
    image->setPixmap(QPixmap(QStringLiteral(":/host/images/key32.png")));

    auto* label = new QLabel(QStringLiteral("密码："), this);
    label->setObjectName(QStringLiteral("Label1"));
    label->move(76, 40);
    label->adjustSize();

    m_edtPswd = new QLineEdit(this);
    m_edtPswd->setObjectName(QStringLiteral("edtPswd"));
    m_edtPswd->setGeometry(124, 36, 153, 21);
    SetPasswordEcho(m_edtPswd);

    m_btnOK = new QPushButton(QStringLiteral("确定"), this);
    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setGeometry(106, 92, 75, 25);
    m_btnOK->setDefault(true);

    m_btnCancel = new QPushButton(QStringLiteral("取消"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnCancel->setGeometry(202, 92, 75, 25);

    setTabOrder(m_edtPswd, m_btnOK);
    setTabOrder(m_btnOK, m_btnCancel);
    m_edtPswd->setFocus();

    connect(m_btnOK, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { btnOKClick(); }); });
    connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TCheckPasswordForm::btnOKClick() {
    if (SysOption != nullptr && SysOption->PasswordMatches(FromQString(m_edtPswd->text()))) {
        accept();
        return;
    }
    ShowMessageBox(this, QStringLiteral("提示"), QStringLiteral("密码错误 ！"), QMessageBox::Critical);
    // The prompt stays open for another try; the wrong text is selected, so typing replaces it.
    m_edtPswd->setFocus();
    m_edtPswd->selectAll();
}

bool CheckPassword() {
    TCheckPasswordForm form(HostWindow());
    return form.exec() == QDialog::Accepted;
}
