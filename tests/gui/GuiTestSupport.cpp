#include "GuiTestSupport.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "member/BaseMemberUnit.h"
#include "police/BasePoliceUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

TModalDriver::TModalDriver(std::vector<TModalStep> steps) : m_steps(steps.begin(), steps.end()) {
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &TModalDriver::Poll);
    m_timer.start();
}

TModalDriver::~TModalDriver() {
    m_timer.stop();
    EXPECT_TRUE(m_steps.empty()) << m_steps.size() << " modal window(s) never came up";
    for (const QString& title : m_unexpected)
        ADD_FAILURE() << "unexpected modal window: " << title.toStdString();
}

void TModalDriver::Poll() {
    QWidget* window = QApplication::activeModalWidget();
    // A window counts only when two polls in a row see it: a closing box's loop may still run one poll in
    // which the window under it is active for a moment, on its way to closing too.
    if (window != m_seen) {
        m_seen = window;
        if (window == nullptr)
            m_last = nullptr;
        return;
    }
    if (window == nullptr || window == m_last)
        return;
    m_last = window;
    QPointer<QWidget> target = window;
    if (m_steps.empty()) {
        m_unexpected.push_back(window->windowTitle());
        QTimer::singleShot(0, window, [target] {
            if (auto* dialog = qobject_cast<QDialog*>(target.data()))
                dialog->reject();
            else if (target)
                target->close();
        });
        return;
    }
    TModalStep step = std::move(m_steps.front());
    m_steps.pop_front();
    // Run outside the poll: the step may open a nested modal window, whose loop must see this timer fire.
    QTimer::singleShot(0, window, [target, step] {
        if (target)
            step(target);
    });
}

TModalStep AnswerBox(TBoxSeen& seen) {
    return [&seen](QWidget* window) {
        auto* box = qobject_cast<QMessageBox*>(window);
        if (box == nullptr) {
            ADD_FAILURE() << "expected a message box, got " << window->metaObject()->className() << " "
                          << window->windowTitle().toStdString();
            window->close();
            return;
        }
        seen.Caption = box->windowTitle();
        seen.Text = box->text();
        seen.Icon = box->icon();
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        seen.OkText = ok != nullptr ? ok->text() : QString();
        if (ok != nullptr)
            ok->click();
        else
            box->close();
    };
}

TModalStep EnterPassword(const QString& password) {
    return [password](QWidget* window) {
        auto* entry = Child<QLineEdit>(window, "edtPswd");
        auto* ok = Child<QPushButton>(window, "btnOK");
        if (entry == nullptr || ok == nullptr) {
            window->close();
            return;
        }
        entry->setText(password);
        ok->click();
    };
}

TModalStep ClickButton(const char* name) {
    return [name](QWidget* window) {
        auto* button = Child<QAbstractButton>(window, name);
        if (button != nullptr)
            button->click();
        else
            window->close();
    };
}

TModalStep Cancel() {
    return [](QWidget* window) {
        if (auto* dialog = qobject_cast<QDialog*>(window))
            dialog->reject();
        else
            window->close();
    };
}

TModalStep Expect(const char* className, TModalStep then) {
    return [className, then](QWidget* window) {
        EXPECT_STREQ(window->metaObject()->className(), className);
        then(window);
    };
}

TFormTest::TFormTest()
    : m_guard(InterfaceKind, SysOption, Option, LogFile, CurrentDoorlock, DoorlockRecordStore, CurrentPolice,
              CurrentMember),
      m_sysOption(m_sandbox.File("Option.ini")), m_option(m_sandbox.File("Option.ini")),
      m_logFile(m_sandbox.File("test.LOG")) {
    InterfaceKind = TInterfaceKind::Doorlock;
    // Any free port: several test programs may run at once.
    m_sysOption.DoorlockPortNo = 0;
    m_sysOption.PolicePortNo = 0;
    m_sysOption.MemberPortNo = 0;
    SysOption = &m_sysOption;
    Option = &m_option;
    LogFile = &m_logFile;
    CurrentDoorlock = nullptr;
    CurrentPolice = nullptr;
    CurrentMember = nullptr;
    DoorlockRecordStore = nullptr;
    // As the window run sets it before anything is shown.
    SetApplicationTitle(KindTitle(InterfaceKind));
}

TFormTest::~TFormTest() {
    SetApplicationTitle(std::string());
}

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}
