#pragma once

#include "host/HostStartupUnit.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QCloseEvent;
class QEventLoop;
class QPlainTextEdit;
class QSessionManager;
class TInterfaceHost;
class TMemoInfoList;

// The operator window: owns the listener, shows its start and stop lines, carries the five actions and
// lets itself be closed only with the administrator password.
class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // FormCreate: the process formats, the title of the running kind, the listener started. A start error
    // is shown in the error box and the window opens all the same. onStuckHandlers: the listener's, for
    // handlers that outlive its stop.
    explicit TMainForm(std::function<void()> onStuckHandlers = {}, QWidget* parent = nullptr);
    // FormDestroy: the listener stopped.
    ~TMainForm() override;

    // Shows the window and runs until it is allowed to close: the program's only message loop.
    void ShowModal();

    TInterfaceHost& Host() { return *m_host; }
    QPlainTextEdit* InfoMemo() const { return m_infoMemo; }

protected:
    // FormCloseQuery: every way of closing (Exit, the close box, a log-out) asks the password.
    void closeEvent(QCloseEvent* event) override;
    // No context menu on the tool bar or the menu bar: the only entry would be the fixed tool bar's toggle.
    QMenu* createPopupMenu() override { return nullptr; }

private:
    void CreateActions();
    void CreateMenu();
    void CreateToolBar();
    void FormCreate();
    void FormDestroy();
    void CommitDataRequest(QSessionManager& manager);

    void OptionActionExecute();
    void TestActionExecute();
    void RecordsActionExecute();
    void ChangePasswordActionExecute();
    void AboutActionExecute();

    QAction* m_optionAction = nullptr;
    QAction* m_testAction = nullptr;
    QAction* m_recordsAction = nullptr;
    QAction* m_changePasswordAction = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_exitAction = nullptr;
    QPlainTextEdit* m_infoMemo = nullptr;
    std::unique_ptr<TMemoInfoList> m_infoList;
    std::unique_ptr<TInterfaceHost> m_host;
    QEventLoop* m_modalLoop = nullptr;
};

// The host window of the running process; null when there is none.
extern TMainForm* MainForm;

// Creates the window, runs it until it may close, destroys it.
void RunInterfaceHost(const std::function<void()>& onStuckHandlers);

// The application object (with Qt's zh_CN translation) and the window run.
std::unique_ptr<THostWindow> CreateHostWindow(int& argc, char** argv);
