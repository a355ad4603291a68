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

TPasswordForm::TPasswordForm(QWidget* parent, const char* name, const QString& title, int width, int height)
    : QDialog(parent) {
    InitFormResources();
    setObjectName(QString::fromLatin1(name));
    setWindowTitle(title);
    setFixedSize(width, height);
}

void TPasswordForm::AddKeyPicture(int left, int top, int size, const char* image) {
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setGeometry(left, top, size, size);
    picture->setPixmap(QPixmap(QString::fromLatin1(image)));
}

QLineEdit* TPasswordForm::AddPasswordEntry(const char* labelName, const QString& label, int labelLeft,
                                           int labelTop, const char* name, int left, int top, int width) {
    AddLabel(this, labelName, label, labelLeft, labelTop);
    QLineEdit* entry = AddEntry(this, name, QString(), left, top, width);
    SetPasswordEcho(entry);
    m_entries.push_back(entry);
    return entry;
}

void TPasswordForm::AddButtons(int okLeft, int cancelLeft, int top, std::function<void()> okClick) {
    // Not AddButton: both stay auto-default, so Enter on a focused Cancel cancels.
    m_btnOK = new QPushButton(QStringLiteral("确定"), this);
    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setGeometry(okLeft, top, 75, 25);
    m_btnOK->setDefault(true);

    m_btnCancel = new QPushButton(QStringLiteral("取消"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnCancel->setGeometry(cancelLeft, top, 75, 25);

    QWidget* previous = nullptr;
    const auto chain = [this, &previous](QWidget* next) {
        if (previous != nullptr)
            setTabOrder(previous, next);
        previous = next;
    };
    for (QLineEdit* entry : m_entries)
        chain(entry);
    chain(m_btnOK);
    chain(m_btnCancel);
    if (!m_entries.empty())
        m_entries.front()->setFocus();

    connect(m_btnOK, &QPushButton::clicked, this,
            [this, okClick = std::move(okClick)] { RunGuarded(this, okClick); });
    connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TCheckPasswordForm::TCheckPasswordForm(QWidget* parent)
    : TPasswordForm(parent, "CheckPasswordForm", QStringLiteral("请输入管理员密码"), 306, 140) {
    AddKeyPicture(24, 24, 32, ":/host/images/key32.png");
    m_edtPswd = AddPasswordEntry("Label1", QStringLiteral("密码："), 76, 40, "edtPswd", 124, 36, 153);
    AddButtons(106, 202, 92, [this] { btnOKClick(); });
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
