// The window under the platform plugin a Windows desk uses, drawn with the fonts the system has.

#include "forms/FormSupportUnit.h"
#include "host/forms/HostFormsUnit.h"

#include <QApplication>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFont>
#include <QGlyphRun>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QRawFont>
#include <QTextLayout>
#include <QTranslator>

#include <gtest/gtest.h>

#include <initializer_list>

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

// The text inside entry fields is drawn: part of each field's inside takes the text's dark colour. (Under
// Wine, Qt's default font engine drew none there.)
TEST(WindowPlatformTest, DrawsTheTextInsideEntryFields) {
    QLineEdit line(QStringLiteral("01080816"));
    QDateTimeEdit dateTime(QDateTime(QDate(2026, 12, 9), QTime(15, 0)));
    dateTime.setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    dateTime.setCalendarPopup(true);
    for (QWidget* field : std::initializer_list<QWidget*>{&line, &dateTime}) {
        field->setGeometry(0, 0, 165, 23);
        field->show();
        QApplication::processEvents();
        const QImage image = field->grab().toImage();
        int dark = 0;
        for (int y = 4; y < image.height() - 4; ++y)
            for (int x = 4; x < image.width() - 24; ++x)
                dark += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
        EXPECT_GT(dark, 30) << field->metaObject()->className() << " drew no text";
    }
}

TEST(WindowPlatformTest, StandardButtonsAreTranslated) {
    QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    EXPECT_EQ(box.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
}

} // namespace

int main(int argc, char** argv) {
    ChooseQtPlatform();
    QApplication application(argc, argv);
    QTranslator translator;
    LoadQtTranslation(translator);
    InitFormResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
