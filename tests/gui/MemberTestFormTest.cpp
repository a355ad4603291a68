#include "GuiTestSupport.h"

#include "member/BaseMemberUnit.h"
#include "member/forms/MemberTestFormUnit.h"
#include "platform/CodePageUnit.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

class TRecordingMember : public TBaseMember {
public:
    struct TWrite {
        std::string CardNo, Text2, Text3, Text4;
        int CardKind = 0;
    };
    std::vector<int> ReadKinds;
    std::vector<TWrite> Writes;
    bool SetOutputs = true;

    bool WriteMemberCard(const std::string& cardNo, const std::string& text2, const std::string& text3,
                         const std::string& text4, int cardKind) override {
        Writes.push_back({cardNo, text2, text3, text4, cardKind});
        return true;
    }
    bool ReadMemberCard(bool, std::string& cardNo, std::string& password, std::string&, std::string&,
                        std::string&, int cardKind) override {
        ReadKinds.push_back(cardKind);
        if (!SetOutputs)
            return false;
        cardNo = Gbk("A<7>会员");
        password = "pw";
        return true;
    }
};

} // namespace

class TMemberTestFormTest : public TFormTest {
protected:
    TMemberTestFormTest() { CurrentMember = &m_member; }

    TRecordingMember m_member;
    TMemberTestForm m_form;
};

TEST_F(TMemberTestFormTest, CardKindIsHotelOnlyForTheExactText) {
    auto* channel = Child<QComboBox>(&m_form, "ChannelCmb");
    EXPECT_TRUE(channel->isEditable());
    EXPECT_EQ(channel->currentText(), Text("酒店会员卡"));
    const struct {
        int Index; // -1: type the text instead
        const char* Typed;
        int Kind;
    } cases[] = {
        {0, "", -1}, {1, "", 11}, {-1, "酒店会员卡 ", 11}, {-1, "其他卡", 11}, {-1, "酒店会员卡", -1},
    };
    for (const auto& c : cases) {
        if (c.Index >= 0)
            channel->setCurrentIndex(c.Index);
        else
            channel->setEditText(Text(c.Typed));
        Child<QPushButton>(&m_form, "ReadCardBtn")->click();
        Child<QPushButton>(&m_form, "WriteCardBtn")->click();
    }
    ASSERT_EQ(m_member.ReadKinds.size(), std::size(cases));
    ASSERT_EQ(m_member.Writes.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(m_member.ReadKinds[i], cases[i].Kind) << i;
        EXPECT_EQ(m_member.Writes[i].CardKind, cases[i].Kind) << i;
    }
}

TEST_F(TMemberTestFormTest, ReadShowsWhatCameBackWriteSendsOnlyTheCardNumber) {
    auto* cardNo = Child<QLineEdit>(&m_form, "CardNoEdit");
    auto* password = Child<QLineEdit>(&m_form, "PasswordEdit");
    // Return on a focused button presses it; in an entry it presses nothing.
    QTest::keyClick(cardNo, Qt::Key_Return);
    EXPECT_TRUE(m_member.ReadKinds.empty());
    QTest::keyClick(Child<QPushButton>(&m_form, "ReadCardBtn"), Qt::Key_Return);
    EXPECT_EQ(cardNo->text(), Text("A<7>会员"));
    EXPECT_EQ(password->text(), Text("pw"));

    password->setText(Text("secret"));
    Child<QPushButton>(&m_form, "WriteCardBtn")->click();
    ASSERT_EQ(m_member.Writes.size(), 1u);
    EXPECT_EQ(m_member.Writes[0].CardNo, Gbk("A<7>会员"));
    EXPECT_EQ(m_member.Writes[0].Text2 + m_member.Writes[0].Text3 + m_member.Writes[0].Text4, "");

    // A failed read that sets nothing empties both boxes.
    m_member.SetOutputs = false;
    Child<QPushButton>(&m_form, "ReadCardBtn")->click();
    EXPECT_EQ(cardNo->text(), QString());
    EXPECT_EQ(password->text(), QString());
}
