#include "forms/FormSupportUnit.h"
#include "host/forms/HostFormsUnit.h"

#include <QApplication>
#include <QTranslator>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

QtMessageHandler g_defaultHandler = nullptr;

// The offscreen platform complains about every fixed-size dialog; nothing to see for a test.
void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints")) ||
        message.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    g_defaultHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv) {
    // Before the application object: test discovery runs this program during the build, without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    g_defaultHandler = qInstallMessageHandler(FilterMessages);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QTranslator translator;
    LoadQtTranslation(translator);
    InitFormResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
