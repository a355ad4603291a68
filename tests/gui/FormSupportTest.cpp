#include "GuiTestSupport.h"

#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/forms/AboutFormUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"

#include <QLabel>
#include <QPlainTextEdit>

TEST(ErrorBoxTextTest, FullStopOnlyAfterBytesAboveTheStop) {
    const struct {
        std::string Message;
        std::string Shown;
    } cases[] = {
        {"Terminate Thread Timeout", "Terminate Thread Timeout."},
        {"Could not bind socket. Address and port are already in use.",
         "Could not bind socket. Address and port are already in use."},
        {"'x' is not a valid integer value", "'x' is not a valid integer value."},
        {"closed (timeout)", "closed (timeout)"},
        {"value -", "value -"}, // '-' comes before '.'
        {"path /", "path /."},  // '/' comes after it
        {"", ""},
        {Gbk("密码错误"), Gbk("密码错误") + "."}, // the trailing byte of a GBK character is above 0x2E
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorBoxText(c.Message), c.Shown) << c.Message;
}

class TErrorBoxTest : public TFormTest {};

TEST_F(TErrorBoxTest, CaptionIsTheApplicationTitleWithErrorIconAndTranslatedOk) {
    SetApplicationTitle(KindTitle(TInterfaceKind::Police));
    TBoxSeen seen;
    {
        TModalDriver driver({AnswerBox(seen)});
        RunGuarded(nullptr, [] { throw Exception("Unable to write to <x>"); });
    }
    EXPECT_EQ(seen.Caption, Text("VantrelTovra公安接口"));
    // Plain text: a message holding "<" keeps it.
    EXPECT_EQ(seen.Text, Text("Unable to write to <x>."));
    EXPECT_EQ(seen.Icon, QMessageBox::Critical);
    EXPECT_EQ(seen.OkText, Text("确定"));
}

class TAboutFormTest : public TFormTest, public ::testing::WithParamInterface<TInterfaceKind> {};

TEST_P(TAboutFormTest, CaptionAndTitlePerKind) {
    InterfaceKind = GetParam();
    const QString title = ToQString(KindTitle(GetParam()));
    TAboutForm form;
    EXPECT_EQ(form.windowTitle(), Text("关于 ") + title);
    EXPECT_EQ(Child<QLabel>(&form, "lblAppTitle")->text(), title);
    EXPECT_EQ(Child<QLabel>(&form, "lblVersion")->text(), Text("版本 " DOORLOCK_VERSION));
    EXPECT_FALSE(Child<QPlainTextEdit>(&form, "mmo")->isEnabled());
    // The picture comes through the JPEG plugin; a deployment without it shows an empty space.
    const QPixmap picture = Child<QLabel>(&form, "Image1")->pixmap();
    EXPECT_EQ(picture.size(), QSize(132, 238));
}

INSTANTIATE_TEST_SUITE_P(Kinds, TAboutFormTest,
                         ::testing::Values(TInterfaceKind::Doorlock, TInterfaceKind::Police,
                                           TInterfaceKind::Member),
                         [](const auto& test) { return std::to_string(static_cast<int>(test.param)); });
