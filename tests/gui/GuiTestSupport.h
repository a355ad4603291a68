#pragma once

#include "support/TestSupport.h"

#include "doorlock/DoorlockOptionUnit.h"
#include "host/InterfaceKindUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class TBaseDoorlock;
class TBaseMember;
class TBasePolice;
class TDoorlockRecordStore;

// One answer to a modal window: called once with the window when it comes up.
using TModalStep = std::function<void(QWidget*)>;

// Answers the modal windows that come up while the test runs an action, one step per window, in order. It
// polls QApplication::activeModalWidget(); a window that comes back after a nested box counts as coming
// up again. A window with no step left is closed and reported, so that a wrong path fails the test instead
// of hanging it.
class TModalDriver : public QObject {
public:
    explicit TModalDriver(std::vector<TModalStep> steps);
    ~TModalDriver() override;

    bool AllStepsUsed() const { return m_steps.empty(); }
    const std::vector<QString>& Unexpected() const { return m_unexpected; }

private:
    void Poll();

    QTimer m_timer;
    std::deque<TModalStep> m_steps;
    QPointer<QWidget> m_seen;
    QPointer<QWidget> m_last;
    std::vector<QString> m_unexpected;
};

// What a message box showed.
struct TBoxSeen {
    QString Caption;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QString OkText;
};

// Steps.
TModalStep AnswerBox(TBoxSeen& seen);
TModalStep EnterPassword(const QString& password);
TModalStep ClickButton(const char* name);
TModalStep Cancel();
// Checks the class of the window, then runs the step.
TModalStep Expect(const char* className, TModalStep then);

template <typename T> T* Child(QObject* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr)
        ADD_FAILURE() << "no child " << name;
    return child;
}

// Options, log and sandbox of one test; restores every process-wide reference afterwards.
class TFormTest : public ::testing::Test {
protected:
    TFormTest();
    ~TFormTest() override;

    TRestored<TInterfaceKind, TSysOption*, TDoorlockOption*, TLogFile*, TBaseDoorlock*, TDoorlockRecordStore*,
              TBasePolice*, TBaseMember*>
        m_guard;
    TSandbox m_sandbox;
    TSysOption m_sysOption;
    TDoorlockOption m_option;
    TLogFile m_logFile;
};

// The system code page text of a UTF-8 literal as the window shows it.
QString Text(const char* utf8);
