#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <string>
#include <string_view>

class QApplication;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTranslator;
class QWidget;

// Internal text is GBK; the window speaks UTF-16.
QString ToQString(std::string_view gbk);
std::string FromQString(const QString& text);

// The application title: caption of the error box and of the police test box. The host window sets it
// from its interface kind before anything is shown.
void SetApplicationTitle(const std::string& gbkTitle);
std::string ApplicationTitle();

// The window that dialogs without an owner are centred over; the host window registers itself.
void SetHostWindow(QWidget* window);
QWidget* HostWindow();

// The error box's text: a full stop is added when the last byte comes after "." in the code page, so a
// message ending in a letter or a Chinese character gains one and one ending in "." or ")" does not.
std::string ErrorBoxText(const std::string& gbkMessage);

// The standard error box: caption the application title, error icon, one OK button.
void ShowErrorBox(QWidget* parent, const std::string& gbkMessage);

// A message box of the forms: plain text (a value holding "<" is shown as it is), one OK button.
void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon);

// Runs a click handler or an action. An error escaping it is shown in the standard error box and goes no
// further: nothing may be thrown through Qt's event loop. False when an error was shown.
bool RunGuarded(QWidget* parent, const std::function<void()>& handler);

// Controls placed at fixed positions, as the forms are laid out: a label sized to its text, an entry 21
// pixels high, a 75 x 25 button that is no default button (Enter in an entry presses nothing; Enter on the
// focused button presses it).
QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, int left, int top);
QLineEdit* AddEntry(QWidget* parent, const char* name, const QString& text, int left, int top, int width);
QPushButton* AddButton(QWidget* parent, const char* name, const QString& text, int left, int top);

// Places a form centred over a window, or on its screen when there is none. Call before showing.
void CentreWindow(QWidget* form, QWidget* over);

// Before the QApplication: the platform this system needs (QtPlatformChoice), unless QT_QPA_PLATFORM names
// one; a -platform argument still wins.
void ChooseQtPlatform();

// Qt's own zh_CN translation, so that standard buttons read 确定 / 取消. False when it cannot be found.
bool LoadQtTranslation(QTranslator& translator);

// A dialog that drives a device by hand. It has no default or cancel button, so Esc does not close it,
// only its close box does; its buttons run their handlers guarded (an error goes to the error box).
class TDeviceTestForm : public QDialog {
    Q_OBJECT
public:
    // What the three port buttons call; an empty one does nothing.
    struct TPortActions {
        std::function<void()> OpenPort, Beep, ClosePort;
    };

protected:
    TDeviceTestForm(QWidget* parent, const char* name, int width, int height);

    void keyPressEvent(QKeyEvent* event) override;

    // The three port buttons in one row: OpenPortBtn, beepBtn, ClosePortBtn.
    void AddPortButtons(int top, int openLeft, int beepLeft, int closeLeft, TPortActions actions);
    void OnClick(QPushButton* button, std::function<void()> handler);

    QPushButton* m_openPortBtn = nullptr;
    QPushButton* m_beepBtn = nullptr;
    QPushButton* m_closePortBtn = nullptr;
};

// The port actions of a back end reached through a process-wide reference, read at every click; nothing
// happens while the reference is null.
template <typename TBackEnd> TDeviceTestForm::TPortActions PortActionsOf(TBackEnd* const& current) {
    return {[&current] {
                if (current != nullptr)
                    current->OpenPort();
            },
            [&current] {
                if (current != nullptr)
                    current->Beep();
            },
            [&current] {
                if (current != nullptr)
                    current->ClosePort();
            }};
}
