#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

#include <functional>
#include <vector>

// What the password dialogs share: the key picture, labelled entries that echo "*", OK (the default
// button, its handler guarded) and Cancel, and the tab order from the entries to OK and Cancel with the
// first entry focused.
class TPasswordForm : public QDialog {
    Q_OBJECT
protected:
    TPasswordForm(QWidget* parent, const char* name, const QString& title, int width, int height);

    void AddKeyPicture(int left, int top, int size, const char* image);
    QLineEdit* AddPasswordEntry(const char* labelName, const QString& label, int labelLeft, int labelTop,
                                const char* name, int left, int top, int width);
    // Last: the buttons, then the tab order over everything added.
    void AddButtons(int okLeft, int cancelLeft, int top, std::function<void()> okClick);

    QPushButton* m_btnOK = nullptr;
    QPushButton* m_btnCancel = nullptr;

private:
    std::vector<QLineEdit*> m_entries;
};

// The administrator password prompt.
class TCheckPasswordForm : public TPasswordForm {
    Q_OBJECT
public:
    explicit TCheckPasswordForm(QWidget* parent = nullptr);

private:
    void btnOKClick();

    QLineEdit* m_edtPswd = nullptr;
};

// Runs the prompt owned by the host window; true only when it ended with OK (the right password).
bool CheckPassword();

// The look of the password entries: one "*" per character.
void SetPasswordEcho(QLineEdit* entry);
