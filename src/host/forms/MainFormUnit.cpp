#include "host/forms/MainFormUnit.h"

#include "doorlock/forms/OptionFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/InterfaceKindUnit.h"
#include "host/forms/AboutFormUnit.h"
#include "host/forms/ChangePasswordFormUnit.h"
#include "host/forms/CheckPasswordFormUnit.h"
#include "host/forms/HostFormsUnit.h"
#include "platform/DateTimeUnit.h"
#include "server/InfoListUnit.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QToolBar>
#include <QTranslator>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif
#include <QThread>

#include <exception>

TMainForm* MainForm = nullptr;

// The window's information list. The start and stop lines come from the main thread; the log's upkeep
// (a new day's warnings, the log's disk below its floor) may write from another, and its lines are handed
// to the main thread.
class TMemoInfoList : public TInfoList {
public:
    explicit TMemoInfoList(QPlainTextEdit* memo) : m_memo(memo) {}
    void AppendLine(const std::string& line) override {
        const QString text = ToQString(line);
        if (QThread::currentThread() == m_memo->thread())
            m_memo->appendPlainText(text);
        else
            QMetaObject::invokeMethod(
                m_memo, [memo = m_memo, text] { memo->appendPlainText(text); }, Qt::QueuedConnection);
    }

private:
    QPlainTextEdit* m_memo;
};

TMainForm::TMainForm(std::function<void()> onStuckHandlers, QWidget* parent) : QMainWindow(parent) {
    InitFormResources();
    setObjectName(QStringLiteral("MainForm"));
    setWindowIcon(QIcon(QStringLiteral(":/host/images/program32.png")));
    resize(873, 500);

    m_infoMemo = new QPlainTextEdit(this);
    m_infoMemo->setObjectName(QStringLiteral("InfoMemo"));
    m_infoMemo->setReadOnly(true);
    setCentralWidget(m_infoMemo);

    auto* statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("StatusBar"));
    setStatusBar(statusBar);

    CreateActions();
    CreateMenu();
    CreateToolBar();

    m_infoList = std::make_unique<TMemoInfoList>(m_infoMemo);
    m_host = std::make_unique<TInterfaceHost>(*m_infoList, std::move(onStuckHandlers));

    MainForm = this;
    SetHostWindow(this);
#if QT_CONFIG(sessionmanager)
    connect(qApp, &QGuiApplication::commitDataRequest, this, &TMainForm::CommitDataRequest);
#endif

    // The window is not up yet: a start error is shown on its own and the window opens after it.
    RunGuarded(nullptr, [this] { FormCreate(); });
    CentreWindow(this, nullptr);
}

TMainForm::~TMainForm() {
    RunGuarded(isVisible() ? this : nullptr, [this] { FormDestroy(); });
    if (MainForm == this)
        MainForm = nullptr;
    if (HostWindow() == this)
        SetHostWindow(nullptr);
}

void TMainForm::CreateActions() {
    struct TActionText {
        QAction** Action;
        const char* Name;
        QString Caption;
        const char* Image;
        void (TMainForm::*Execute)();
    };
    const TActionText actions[] = {
        {&m_optionAction, "OptionAction", QStringLiteral("选项(&O)..."), ":/host/images/options.png",
         &TMainForm::OptionActionExecute},
        {&m_testAction, "TestAction", QStringLiteral("测试(&T)"), nullptr, &TMainForm::TestActionExecute},
        {&m_recordsAction, "RecordsAction", QStringLiteral("发卡记录(&R)..."), nullptr,
         &TMainForm::RecordsActionExecute},
        {&m_changePasswordAction, "ChangePasswordAction", QStringLiteral("更改管理员密码(&C)"),
         ":/host/images/password.png", &TMainForm::ChangePasswordActionExecute},
        {&m_aboutAction, "AboutAction", QStringLiteral("关于(&A)..."), ":/host/images/about.png",
         &TMainForm::AboutActionExecute},
        {&m_exitAction, "ExitAction", QStringLiteral("退出(&X)"), ":/host/images/exit.png", nullptr},
    };
    for (const TActionText& text : actions) {
        auto* action = new QAction(text.Caption, this);
        action->setObjectName(QString::fromLatin1(text.Name));
        if (text.Image != nullptr)
            action->setIcon(QIcon(QString::fromLatin1(text.Image)));
        *text.Action = action;
        if (text.Execute != nullptr) {
            const auto execute = text.Execute;
            connect(action, &QAction::triggered, this,
                    [this, execute] { RunGuarded(this, [this, execute] { (this->*execute)(); }); });
        }
    }
    // Closing runs FormCloseQuery like every other way of closing.
    connect(m_exitAction, &QAction::triggered, this, &QWidget::close);
}

namespace {

// A menu item of its own name that takes caption and image from its action and runs it.
QAction* AddMenuItem(QMenu* menu, QAction* action, const char* name) {
    auto* item = menu->addAction(action->icon(), action->text());
    item->setObjectName(QString::fromLatin1(name));
    QObject::connect(item, &QAction::triggered, action, &QAction::trigger);
    return item;
}

} // namespace

void TMainForm::CreateMenu() {
    QMenuBar* mainMenu = menuBar();
    mainMenu->setObjectName(QStringLiteral("MainMenu"));

    QMenu* fileMenu = mainMenu->addMenu(QStringLiteral("文件(&F)"));
    fileMenu->setObjectName(QStringLiteral("FileMenuItem"));
    AddMenuItem(fileMenu, m_exitAction, "ExitMenuItem");

    QMenu* toolsMenu = mainMenu->addMenu(QStringLiteral("工具(&T)"));
    toolsMenu->setObjectName(QStringLiteral("ToolsMenuItem"));
    AddMenuItem(toolsMenu, m_optionAction, "OptionMenuItem");
    AddMenuItem(toolsMenu, m_testAction, "TestMenuItem");
    // Only a kind that keeps issued-card records has the entry.
    const TKindWindowActions* kind = FindKindWindowActions(InterfaceKind);
    if (kind != nullptr && kind->ShowRecords != nullptr)
        AddMenuItem(toolsMenu, m_recordsAction, "RecordsMenuItem");
    toolsMenu->addSeparator();
    AddMenuItem(toolsMenu, m_changePasswordAction, "ChangePasswordMenuItem");

    QMenu* helpMenu = mainMenu->addMenu(QStringLiteral("帮助(&H)"));
    helpMenu->setObjectName(QStringLiteral("HelpMenuItem"));
    AddMenuItem(helpMenu, m_aboutAction, "AboutMenuItem");
}

void TMainForm::CreateToolBar() {
    auto* toolBar = new QToolBar(this);
    toolBar->setObjectName(QStringLiteral("ToolBar"));
    toolBar->setMovable(false);
    toolBar->setFloatable(false);
    toolBar->setIconSize(QSize(16, 16));
    toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar->toggleViewAction()->setEnabled(false);
    addToolBar(Qt::TopToolBarArea, toolBar);

    const auto addButton = [toolBar](QAction* action, const char* name) {
        toolBar->addAction(action);
        toolBar->widgetForAction(action)->setObjectName(QString::fromLatin1(name));
    };
    addButton(m_optionAction, "OptionButton");
    addButton(m_changePasswordAction, "ChangePasswordButton");
    toolBar->addSeparator();
    addButton(m_aboutAction, "HelpButton");
    toolBar->addSeparator();
    addButton(m_exitAction, "ExitButton");
}

void TMainForm::FormCreate() {
    FixProcessFormats();
    const std::string title = KindTitle(InterfaceKind);
    SetApplicationTitle(title);
    setWindowTitle(ToQString(title));
    try {
        m_host->StartServer();
    } catch (const std::exception&) {
        // The window opens after the error box all the same, with its start line as the only line.
        m_infoList->AppendLine(KindStartLine(InterfaceKind));
        throw;
    }
}

void TMainForm::FormDestroy() {
    m_host->StopServer();
}

void TMainForm::ShowModal() {
    show();
    QEventLoop loop;
    m_modalLoop = &loop;
    loop.exec(QEventLoop::DialogExec);
    m_modalLoop = nullptr;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    bool allowed = false;
    RunGuarded(this, [&allowed] { allowed = CheckPassword(); });
    if (!allowed) {
        event->ignore();
        return;
    }
    event->accept();
    if (m_modalLoop != nullptr)
        m_modalLoop->quit();
}

void TMainForm::CommitDataRequest(QSessionManager& manager) {
#if QT_CONFIG(sessionmanager)
    // A log-out closes the window the same way as the close box: only with the password.
    if (!isVisible())
        return;
    if (!manager.allowsInteraction()) {
        manager.cancel();
        return;
    }
    const bool closed = close();
    manager.release();
    if (!closed)
        manager.cancel();
#else
    (void)manager;
#endif
}

void TMainForm::OptionActionExecute() {
    if (!CheckPassword())
        return;
    if (const TKindWindowActions* kind = FindKindWindowActions(InterfaceKind))
        kind->ShowOption();
}

void TMainForm::TestActionExecute() {
    if (const TKindWindowActions* kind = FindKindWindowActions(InterfaceKind))
        kind->ShowTest(*m_host);
}

void TMainForm::RecordsActionExecute() {
    // Guest names are personal data: the list is the administrator's, like the options.
    if (!CheckPassword())
        return;
    const TKindWindowActions* kind = FindKindWindowActions(InterfaceKind);
    if (kind != nullptr && kind->ShowRecords != nullptr)
        kind->ShowRecords();
}

void TMainForm::ChangePasswordActionExecute() {
    if (CheckPassword())
        ChangePassword();
}

void TMainForm::AboutActionExecute() {
    ShowAboutForm();
}

void RunInterfaceHost(const std::function<void()>& onStuckHandlers) {
    auto form = std::make_unique<TMainForm>(onStuckHandlers);
    form->ShowModal();
}

namespace {

// In the member initialiser, so that the platform is chosen before the application object is made.
int& ChoosePlatform(int& argc) {
    ChooseQtPlatform();
    return argc;
}

class TQtHostWindow : public THostWindow {
public:
    TQtHostWindow(int& argc, char** argv) : m_application(ChoosePlatform(argc), argv) {
        // The window's own loop is the only one; closing the last window must not end anything else.
        QApplication::setQuitOnLastWindowClosed(false);
        LoadQtTranslation(m_translator);
        InitFormResources();
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/host/images/program48.png")));
    }

    void (*DeviceOptionDialog() const)() override { return ShowOptionForm; }

    void Run(const std::function<void()>& onStuckHandlers) override {
        // The kind is set by now; an error box before the window's own start already names it.
        SetApplicationTitle(KindTitle(InterfaceKind));
        RunInterfaceHost(onStuckHandlers);
    }

private:
    QApplication m_application;
    QTranslator m_translator;
};

} // namespace

std::unique_ptr<THostWindow> CreateHostWindow(int& argc, char** argv) {
    return std::make_unique<TQtHostWindow>(argc, argv);
}

TWindowFactory HostWindowFactory() {
    return CreateHostWindow;
}
