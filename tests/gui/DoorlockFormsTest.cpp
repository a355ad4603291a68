#include "GuiTestSupport.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "doorlock/forms/DoorlockTestFormUnit.h"
#include "doorlock/forms/OptionFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordQueryUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cmath>
#include <filesystem>

class TOptionFormTest : public TFormTest {};

TEST_F(TOptionFormTest, OkSavesThePortAndTheDelayCancelSavesNothing) {
    const struct {
        const char* Stored;
        int Selected; // -2: leave as opened
        const char* Button;
        int ShownIndex;
        const char* SavedPort; // nullptr: no file written
    } cases[] = {
        {"COM2", 2, "OKBtn", 1, "COM3"},
        {"COM7", -2, "OKBtn", -1, ""}, // not in the list: nothing selected, an empty port saved
        {"com2", -2, "OKBtn", -1, ""}, // the match is case-sensitive
        {"COM2", 4, "CancelBtn", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Stored) + " " + c.Button);
        std::filesystem::remove(m_option.FileName);
        m_option.PortName = c.Stored;
        TBoxSeen seen;
        int shownIndex = -3;
        {
            std::vector<TModalStep> steps{[&, c](QWidget* window) {
                auto* combo = Child<QComboBox>(window, "PortNameCmb");
                shownIndex = combo->currentIndex();
                EXPECT_FALSE(combo->isEditable());
                if (c.Selected != -2)
                    combo->setCurrentIndex(c.Selected);
                ClickButton(c.Button)(window);
            }};
            if (c.SavedPort != nullptr)
                steps.push_back(AnswerBox(seen));
            TModalDriver driver(std::move(steps));
            ShowOptionForm();
        }
        EXPECT_EQ(shownIndex, c.ShownIndex);
        if (c.SavedPort == nullptr) {
            EXPECT_FALSE(std::filesystem::exists(m_option.FileName));
            EXPECT_EQ(m_option.PortName, c.Stored);
            continue;
        }
        EXPECT_EQ(seen.Caption, Text("提示"));
        EXPECT_EQ(seen.Text, Text("请重新启动程序,以启用设置的参数！"));
        EXPECT_EQ(seen.Icon, QMessageBox::Information);
        EXPECT_EQ(m_option.PortName, c.SavedPort);
        TDoorlockOption reread(m_option.FileName);
        reread.LoadOption();
        EXPECT_EQ(reread.PortName, c.SavedPort);
        // The key was missing: the dialog's default is written, and card issuing reads it from now on.
        EXPECT_EQ(reread.DelayMinutes, 1);
    }
}

// The real device over the simulated encoder, its card the file SimCard.bin in the sandbox, and a store in
// the sandbox; the dialog is given them, none is set process-wide.
class TDoorlockTestFormTest : public TFormTest {
protected:
    TDoorlockTestFormTest()
        : m_cardFile(m_sandbox.File("SimCard.bin")), m_encoder(CreateSimulatedCardEncoder(m_cardFile)),
          m_device(*m_encoder) {
        WriteFileBytes(m_cardFile, std::string(256, '\xFF'));
        m_device.OpenPort();
    }

    void Set(const char* name, const QString& text) { Child<QLineEdit>(&m_form, name)->setText(text); }
    QString Get(const char* name) { return Child<QLineEdit>(&m_form, name)->text(); }
    void Click(const char* name) { Child<QPushButton>(&m_form, name)->click(); }

    std::string m_cardFile;
    std::unique_ptr<TCardEncoder> m_encoder;
    TIcDoorlock m_device;
    TDoorlockRecordStore m_store{"sqlite3", m_sandbox.File("Client.db")};
    TRoomTurns m_turns;
    TDoorlockTestForm m_form{TCardIssueContext{m_option, &m_device, &m_store, m_turns}};
};

TEST_F(TDoorlockTestFormTest, OpensWithTimesFromOneClockReading) {
    EXPECT_EQ(m_form.windowTitle(), Text("测试"));
    EXPECT_EQ(Get("RoomBuildingCodeTxt") + Get("RoomFloorCodeTxt") + Get("RoomNoTxt"), Text("000101"));
    EXPECT_FALSE(Child<QCheckBox>(&m_form, "IsCopyCheckBox")->isChecked());
    const QString checkIn = Get("CheckInDateTimeTxt");
    const QString checkOut = Get("CheckOutDateTimeTxt");
    ASSERT_EQ(checkIn.size(), 19);
    // Two days after the moment, one hour before it: 49 hours apart to the second.
    const TDateTime in = StrToDateTime(FromQString(checkIn));
    const TDateTime out = StrToDateTime(FromQString(checkOut));
    EXPECT_EQ(std::llround((out - in) * 86400), 49 * 3600);
    const TDateTime now = Now();
    EXPECT_LT(std::fabs(in - IncMinutes(now, -60)), 1.0 / 24);

    // The moment is the clock's it was given.
    TDoorlockTestForm clocked(TCardIssueContext{m_option, &m_device, &m_store, m_turns,
                                                [] { return EncodeDateTime(2031, 3, 4, 5, 6, 7); }});
    EXPECT_EQ(Child<QLineEdit>(&clocked, "CheckInDateTimeTxt")->text(), Text("2031-03-04 04:06:07"));
    EXPECT_EQ(Child<QLineEdit>(&clocked, "CheckOutDateTimeTxt")->text(), Text("2031-03-06 05:06:07"));
}

TEST_F(TDoorlockTestFormTest, WritesTheCardAndReadsItBack) {
    m_option.SaveDoorlockRecord = true;
    Set("RoomNoTxt", Text("0816"));
    Set("CheckOutDateTimeTxt", Text("2008-12-31 14:05:00"));
    {
        TModalDriver driver({});
        Click("WriteCardBtn");
    }
    const std::string card = ReadFileBytes(m_cardFile);
    ASSERT_EQ(card.size(), 256u);
    EXPECT_EQ(card.substr(0, 6), std::string("\x11\x08\x16\x12\x31\x14", 6));
    EXPECT_EQ(card.substr(6), std::string(250, '\xFF'));
    // The row says the operator at this desk asked for the card.
    TDoorlockRecordQuery query(TRecordStoreTarget{"sqlite3", m_sandbox.File("Client.db")});
    const TIssueCardRecordPage page = query.FirstRows({}, 10);
    ASSERT_EQ(page.Rows.size(), 1u);
    EXPECT_EQ(page.Rows[0].RoomNo, "00010816");
    EXPECT_EQ(page.Rows[0].Source, Gbk("本机操作员"));

    // Return or Enter on a focused button presses it.
    QTest::keyClick(Child<QPushButton>(&m_form, "ReadCardBtn"), Qt::Key_Return);
    EXPECT_EQ(Get("CardNoTxt"), Text("816123114"));
    // A failed read shows 0.
    Click("ClosePortBtn");
    QTest::keyClick(Child<QPushButton>(&m_form, "ReadCardBtn"), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(Get("CardNoTxt"), Text("0"));
}

TEST_F(TDoorlockTestFormTest, EntryErrorsAreShownAndTouchNothing) {
    const struct {
        const char* RoomNo;
        const char* CheckIn; // nullptr: as opened
        const char* Shown;
    } cases[] = {
        {"01", nullptr, "'01' is not a valid room number."},
        {"0816", "", "'' is not a valid date and time."},
        {"0816", "2008-02-30 10:00:00", "'2008-02-30 10:00:00' is not a valid date and time."},
    };
    const std::string blank = ReadFileBytes(m_cardFile);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Shown);
        Set("RoomNoTxt", Text(c.RoomNo));
        if (c.CheckIn != nullptr)
            Set("CheckInDateTimeTxt", Text(c.CheckIn));
        TBoxSeen seen;
        {
            TModalDriver driver({AnswerBox(seen)});
            Click("WriteCardBtn");
        }
        EXPECT_EQ(seen.Caption, Text("VantrelTovra门锁接口"));
        EXPECT_EQ(seen.Text, Text(c.Shown));
        EXPECT_EQ(seen.Icon, QMessageBox::Critical);
        EXPECT_EQ(ReadFileBytes(m_cardFile), blank);
    }
}
