// The window under the platform plugin a Windows desk uses, drawn with the fonts the system has.

#include "forms/FormSupportUnit.h"
#include "host/forms/HostFormsUnit.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFont>
#include <QGlyphRun>
#include <QPushButton>
#include <QRawFont>
#include <QTextLayout>
#include <QTranslator>

#include <gtest/gtest.h>

namespace {

TEST(WindowPlatformTest, RunsOnTheWindowsPlatform) {
    EXPECT_EQ(QGuiApplication::platformName(), QStringLiteral("windows"));
}

// Every character of a caption gets a real glyph (glyph 0 is the "missing" box), through fallback fonts
// where the dialog font has none.
TEST(WindowPlatformTest, DrawsChineseWithRealGlyphs) {
    const QString text = QStringLiteral("门锁接口配置 确定 取消 请输入管理员密码");
    QTextLayout layout(text, QApplication::font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    int glyphs = 0;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        for (quint32 index : run.glyphIndexes()) {
            EXPECT_NE(index, 0u) << "a character of '" << text.toStdString() << "' has no glyph in "
                                 << run.rawFont().familyName().toStdString();
            ++glyphs;
        }
    }
    EXPECT_GE(glyphs, text.size() - 3);
}

TEST(WindowPlatformTest, StandardButtonsAreTranslated) {
    QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    EXPECT_EQ(box.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QTranslator translator;
    LoadQtTranslation(translator);
    InitFormResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
