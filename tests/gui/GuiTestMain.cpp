#include "OffscreenMessages.h"

#include "forms/FormSupportUnit.h"
#include "host/forms/HostFormsUnit.h"

#include <QApplication>
#include <QTranslator>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Before the application object: test discovery runs this program during the build, without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QuietOffscreenMessages();
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QTranslator translator;
    LoadQtTranslation(translator);
    InitFormResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
