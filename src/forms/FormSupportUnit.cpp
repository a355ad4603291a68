#include "forms/FormSupportUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/DisplayUnit.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTranslator>

#include <exception>

namespace {

std::string& StoredTitle() {
    static std::string title;
    return title;
}

QPointer<QWidget>& StoredHostWindow() {
    static QPointer<QWidget> window;
    return window;
}

// Enter on a focused button presses it, as Windows operators expect. The buttons are no default buttons,
// so that Enter in an entry still presses nothing; this filter gives them the key instead.
class TEnterPressesButton : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || modifiers != Qt::NoModifier)
            return false;
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button == nullptr || !button->isEnabled())
            return false;
        button->click();
        return true;
    }
};

} // namespace

QString ToQString(std::string_view gbk) {
    const std::string utf8 = GbkToUtf8(gbk);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToGbk(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

void SetApplicationTitle(const std::string& gbkTitle) {
    StoredTitle() = gbkTitle;
}

std::string ApplicationTitle() {
    return StoredTitle();
}

void SetHostWindow(QWidget* window) {
    StoredHostWindow() = window;
}

QWidget* HostWindow() {
    return StoredHostWindow().data();
}

std::string ErrorBoxText(const std::string& gbkMessage) {
    std::string text = gbkMessage;
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        text.push_back('.');
    return text;
}

void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void ShowErrorBox(QWidget* parent, const std::string& gbkMessage) {
    ShowMessageBox(parent, ToQString(ApplicationTitle()), ToQString(ErrorBoxText(gbkMessage)),
                   QMessageBox::Critical);
}

bool RunGuarded(QWidget* parent, const std::function<void()>& handler) {
    std::string message;
    try {
        handler();
        return true;
    } catch (const std::exception& e) {
        message = e.what();
    }
    // Shown outside the handler, so that nothing the handler held is kept while the box is up.
    ShowErrorBox(parent, message);
    return false;
}

void CentreWindow(QWidget* form, QWidget* over) {
    QRect area;
    if (over != nullptr && over->isVisible()) {
        area = over->frameGeometry();
    } else {
        QScreen* screen = over != nullptr ? over->screen() : QGuiApplication::primaryScreen();
        if (screen != nullptr)
            area = screen->availableGeometry();
    }
    if (area.isEmpty())
        return;
    const QSize size = form->frameGeometry().size().expandedTo(form->size());
    form->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

void ChooseQtPlatform() {
    const std::string platform = QtPlatformChoice();
    if (!platform.empty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", platform.c_str());
}

bool LoadQtTranslation(QTranslator& translator) {
    const QString name = QStringLiteral("qtbase_zh_CN");
    // Beside the program first (a deployment without a Qt installation), then the package's copy, then Qt's
    // own directory.
    const QStringList places = {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                                QCoreApplication::applicationDirPath() +
                                    QStringLiteral("/../share/doorlock-host/translations"),
                                QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const QString& place : places) {
        if (translator.load(name, place))
            return QCoreApplication::installTranslator(&translator);
    }
    return false;
}

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(left, top);
    label->adjustSize();
    return label;
}

QLineEdit* AddEntry(QWidget* parent, const char* name, const QString& text, int left, int top, int width) {
    auto* entry = new QLineEdit(text, parent);
    entry->setObjectName(QString::fromLatin1(name));
    entry->setGeometry(left, top, width, 21);
    return entry;
}

QPushButton* AddButton(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, top, 75, 25);
    button->setAutoDefault(false);
    button->installEventFilter(new TEnterPressesButton(button));
    return button;
}

TDeviceTestForm::TDeviceTestForm(QWidget* parent, const char* name, int width, int height) : QDialog(parent) {
    setObjectName(QString::fromLatin1(name));
    setWindowTitle(QStringLiteral("测试"));
    setFixedSize(width, height);
}

void TDeviceTestForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TDeviceTestForm::AddPortButtons(int top, int openLeft, int beepLeft, int closeLeft,
                                     TPortActions actions) {
    m_openPortBtn = AddButton(this, "OpenPortBtn", QStringLiteral("打开串口"), openLeft, top);
    m_beepBtn = AddButton(this, "beepBtn", QStringLiteral("Beep"), beepLeft, top);
    m_closePortBtn = AddButton(this, "ClosePortBtn", QStringLiteral("关闭串口"), closeLeft, top);
    OnClick(m_openPortBtn, std::move(actions.OpenPort));
    OnClick(m_closePortBtn, std::move(actions.ClosePort));
    OnClick(m_beepBtn, std::move(actions.Beep));
}

void TDeviceTestForm::OnClick(QPushButton* button, std::function<void()> handler) {
    connect(button, &QPushButton::clicked, this, [this, handler = std::move(handler)] {
        if (handler)
            RunGuarded(this, handler);
    });
}
