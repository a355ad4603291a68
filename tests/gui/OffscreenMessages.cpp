#include "OffscreenMessages.h"

#include <QString>
#include <QtGlobal>

namespace {

QtMessageHandler g_defaultHandler = nullptr;

void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints")) ||
        message.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    g_defaultHandler(type, context, message);
}

} // namespace

void QuietOffscreenMessages() {
    g_defaultHandler = qInstallMessageHandler(FilterMessages);
}
