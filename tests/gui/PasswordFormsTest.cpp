#include "GuiTestSupport.h"

#include "host/forms/ChangePasswordFormUnit.h"
#include "host/forms/CheckPasswordFormUnit.h"
#include "platform/CodePageUnit.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>

namespace {

TModalStep FillChange(const QString& password, const QString& confirmed) {
    return [password, confirmed](QWidget* window) {
        Child<QLineEdit>(window, "edtPswd")->setText(password);
        Child<QLineEdit>(window, "edtConfirmPswd")->setText(confirmed);
        Child<QPushButton>(window, "btnOK")->click();
    };
}

} // namespace

class TCheckPasswordTest : public TFormTest {};

TEST_F(TCheckPasswordTest, PromptAcceptsTheTrimmedPasswordOnly) {
    const struct {
        const char* Entered;
        bool Accepted;
    } cases[] = {
        {"mirvek", true}, {"  mirvek\t", true}, {"MIRVEK", false}, {"mirve", false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Entered);
        TBoxSeen seen;
        bool accepted = false;
        QString retyped;
        {
            std::vector<TModalStep> steps{EnterPassword(Text(c.Entered))};
            if (!c.Accepted) {
                // The prompt stays open after its message, the wrong text selected: typing replaces it.
                steps.push_back(AnswerBox(seen));
                steps.push_back([&retyped](QWidget* window) {
                    auto* entry = Child<QLineEdit>(window, "edtPswd");
                    QTest::keyClicks(entry, QStringLiteral("abc"));
                    retyped = entry->text();
                    Cancel()(window);
                });
            }
            TModalDriver driver(std::move(steps));
            accepted = CheckPassword();
        }
        EXPECT_EQ(accepted, c.Accepted);
        if (!c.Accepted) {
            EXPECT_EQ(seen.Caption, Text("提示"));
            EXPECT_EQ(seen.Text, Text("密码错误 ！"));
            EXPECT_EQ(seen.Icon, QMessageBox::Critical);
            EXPECT_EQ(retyped, QStringLiteral("abc"));
        }
    }
}

class TChangePasswordTest : public TFormTest {};

TEST_F(TChangePasswordTest, RefusedEntriesKeepTheDialogOpenAndChangeNothing) {
    const struct {
        QString Password, Confirmed;
        const char* Shown;
    } cases[] = {
        {Text("abc"), Text("abd"), "您两次输入的密码不一致，请重新输入！"},
        // Characters the code page cannot hold would be stored as "?".
        {QStringLiteral("密🔑"), QStringLiteral("密🔑"), "密码中含有无法保存的字符，请重新输入！"},
        {QStringLiteral("密?"), QStringLiteral("密🔑"), "密码中含有无法保存的字符，请重新输入！"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Shown);
        TBoxSeen seen;
        {
            TModalDriver driver({FillChange(c.Password, c.Confirmed), AnswerBox(seen), [&c](QWidget* window) {
                                     EXPECT_EQ(Child<QLineEdit>(window, "edtConfirmPswd")->text(),
                                               c.Confirmed);
                                     Cancel()(window);
                                 }});
            ChangePassword();
        }
        EXPECT_EQ(seen.Caption, Text("提示"));
        EXPECT_EQ(seen.Text, Text(c.Shown));
        EXPECT_EQ(seen.Icon, QMessageBox::Critical);
        EXPECT_EQ(m_sysOption.Password, "mirvek");
        EXPECT_FALSE(std::filesystem::exists(m_sysOption.FileName));
    }
}

TEST_F(TChangePasswordTest, EqualEntriesAreTrimmedSavedAndPassThePromptAfterwards) {
    TBoxSeen seen;
    {
        TModalDriver driver({FillChange(Text(" 新密码 "), Text("新密码")), AnswerBox(seen)});
        ChangePassword();
    }
    EXPECT_EQ(seen.Text, Text("管理员密码更改成功！"));
    EXPECT_EQ(seen.Icon, QMessageBox::Information);
    EXPECT_EQ(m_sysOption.Password, Gbk("新密码"));

    // The file holds the whole option set, read back as it was.
    TSysOption reread(m_sysOption.FileName);
    reread.LoadOption();
    EXPECT_EQ(reread.Password, Gbk("新密码"));
    EXPECT_EQ(reread.DoorlockPortNo, 0);
    const std::string file = ReadFileBytes(m_sysOption.FileName);
    for (const char* key : {"[SysOption]", "PolicePortNo=", "ScanPortNo=8881", "[DoorlockOption]",
                            "DelayMinutes2=", "UseNativeDoorlockDb=0", "SaveDoorlockRecord=0"})
        EXPECT_NE(file.find(key), std::string::npos) << key;

    bool accepted = false;
    {
        TModalDriver driver({EnterPassword(Text("新密码"))});
        accepted = CheckPassword();
    }
    EXPECT_TRUE(accepted);
}

TEST_F(TChangePasswordTest, FailedWriteShowsTheErrorKeepsTheDialogAndTheNewPassword) {
    // A file where the directory should be: not even root can write below it.
    WriteFileBytes(m_sandbox.File("blocked"), "x");
    m_sysOption.FileName = m_sandbox.File("blocked") + "/Option.ini";
    TBoxSeen error;
    {
        TModalDriver driver({FillChange(Text("neu"), Text("neu")), AnswerBox(error), Cancel()});
        ChangePassword();
    }
    EXPECT_EQ(error.Caption, Text("VantrelTovra门锁接口"));
    EXPECT_EQ(error.Text, Text("Unable to write to ") + QString::fromStdString(m_sysOption.FileName) + ".");
    EXPECT_EQ(error.Icon, QMessageBox::Critical);
    EXPECT_EQ(m_sysOption.Password, "neu");
}
