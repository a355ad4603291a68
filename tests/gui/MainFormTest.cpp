#include "GuiTestSupport.h"

#include "support/LoopbackClient.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockIssueUnit.h"
#include "doorlock/DoorlockMessageHandlerUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "doorlock/forms/OptionFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/forms/MainFormUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/SocketUnit.h"
#include "police/BasePoliceUnit.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolBar>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace {

class TRecordingDoorlock : public TBaseDoorlock {
public:
    int ShowOptionCalls = 0;
    void ShowOption() override { ++ShowOptionCalls; }
};

class TFixedPolice : public TBasePolice {
public:
    TGuestRecord Guest;
    const TGuestRecord* GetGuest() override { return &Guest; }
};

// A device that looks, while it writes a card, whether the room's turn among the given turns is free.
class TTurnProbeDoorlock : public TBaseDoorlock {
public:
    bool IssueCard(const std::string&, const std::string& roomBuildingCode, const std::string& roomFloorCode,
                   const std::string& roomNo, const std::string&, TDateTime, TDateTime, TDateTime, TDateTime,
                   bool, int64_t& cardNo) override {
        ++Issues;
        const auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
        if (Turns != nullptr)
            TurnWasFree = TRoomIssueTurn(*Turns, roomBuildingCode + roomFloorCode + roomNo, passed).Held();
        cardNo = 1;
        return true;
    }
    TRoomTurns* Turns = nullptr;
    int Issues = 0;
    bool TurnWasFree = true;
};

QStringList Lines(const TMainForm& form) {
    return form.InfoMemo()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TMainFormTest : public TFormTest {};

TEST_F(TMainFormTest, OpensWithTitleAndOneStartLineAndServesWithoutWritingToIt) {
    TMainForm form;
    form.show();
    EXPECT_EQ(form.windowTitle(), Text("VantrelTovra门锁接口"));
    EXPECT_EQ(ToQString(ApplicationTitle()), Text("VantrelTovra门锁接口"));
    EXPECT_EQ(form.size(), QSize(873, 500));
    // AllowedClients is empty: the start warns that anyone may connect.
    EXPECT_EQ(Lines(form), (QStringList{Text("门锁接口监听服务器已经启动..."),
                                        Text("警告：未设置 AllowedClients，能连到端口 ") +
                                            QString::number(form.Host().TCPServer().BoundPort()) +
                                            Text(" 的每台计算机都可以发送请求（包括发卡）。")}));
    EXPECT_TRUE(form.InfoMemo()->isReadOnly());

    // Tool bar and menus as the operator sees them.
    QStringList buttons;
    for (QAction* action : Child<QToolBar>(&form, "ToolBar")->actions())
        buttons << (action->isSeparator() ? QStringLiteral("|") : action->objectName());
    EXPECT_EQ(buttons.join(' '),
              QStringLiteral("OptionAction ChangePasswordAction | AboutAction | ExitAction"));
    QStringList menus;
    for (QAction* menu : form.menuBar()->actions()) {
        QStringList items;
        for (QAction* item : menu->menu()->actions())
            items << (item->isSeparator() ? QStringLiteral("-") : item->text());
        menus << menu->text() + ":" + items.join(',');
    }
    EXPECT_EQ(menus.join(' '), Text("文件(&F):退出(&X) 工具(&T):选项(&O)...,测试(&T),发卡记录(&R)...,-,"
                                    "更改管理员密码(&C) "
                                    "帮助(&H):关于(&A)..."));
    // A right click on either bar opens no menu.
    for (QWidget* bar : std::initializer_list<QWidget*>{Child<QToolBar>(&form, "ToolBar"), form.menuBar()}) {
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2), bar->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(bar, &click);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << bar->objectName().toStdString();
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
    }

    const int port = form.Host().TCPServer().BoundPort();
    bool closed = false;
    const std::string response =
        Exchange(port, std::string("<DoorRequest type=\"ReadCard\"></DoorRequest>") + '\0', &closed);
    EXPECT_TRUE(closed);
    EXPECT_NE(response.find("<ResultCode>500</ResultCode>"), std::string::npos) << response;
    QApplication::processEvents();
    EXPECT_EQ(Lines(form).size(), 2);
}

// A listener that cannot start: the reason in the error box, and the window opens with its start line.
TEST_F(TMainFormTest, StartFailureIsShownAndTheWindowOpensWithItsStartLine) {
    // A listener on any address holds the port.
    TSocket held = ListenTcp(0, 1);
    struct TCase {
        bool portHeld;
        std::string allowedClients;
        const char* message;
    };
    for (const TCase& c : {TCase{true, "", "Could not bind socket. Address and port are already in use."},
                           TCase{false, "10.0.0.0/33",
                                 "'10.0.0.0/33' is not a valid IPv4 address or range (AllowedClients)"}}) {
        SCOPED_TRACE(c.message);
        m_sysOption.DoorlockPortNo = c.portHeld ? held.LocalPort() : 0;
        m_sysOption.AllowedClients = c.allowedClients;
        TBoxSeen seen;
        std::unique_ptr<TMainForm> form;
        {
            TModalDriver driver({AnswerBox(seen)});
            form = std::make_unique<TMainForm>();
        }
        EXPECT_EQ(seen.Caption, Text("VantrelTovra门锁接口"));
        EXPECT_EQ(seen.Text, Text(c.message));
        EXPECT_EQ(seen.Icon, QMessageBox::Critical);
        EXPECT_EQ(Lines(*form), QStringList{Text("门锁接口监听服务器已经启动...")});
        EXPECT_FALSE(form->Host().TCPServer().Active());
    }
}

TEST_F(TMainFormTest, ClosingNeedsThePassword) {
    const struct {
        const char* Way;
        const char* Entered; // nullptr: the prompt is cancelled
        bool Closes;
    } cases[] = {
        {"close box", nullptr, false}, {"close box", "MIRVEK", false}, {"Exit", nullptr, false},
        {"Exit", "mirvek ", true},     {"close box", " mirvek", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Way) + " " + (c.Entered != nullptr ? c.Entered : "(cancel)"));
        TMainForm form;
        form.show();
        TBoxSeen seen;
        {
            std::vector<TModalStep> steps;
            if (c.Entered == nullptr) {
                steps.push_back(Cancel());
            } else {
                steps.push_back(EnterPassword(Text(c.Entered)));
                if (!c.Closes) {
                    steps.push_back(AnswerBox(seen));
                    steps.push_back(Cancel());
                }
            }
            TModalDriver driver(std::move(steps));
            if (std::string(c.Way) == "Exit")
                Child<QAction>(&form, "ExitAction")->trigger();
            else
                form.close();
        }
        EXPECT_EQ(form.isVisible(), !c.Closes);
        // A refused close leaves the listener serving.
        EXPECT_TRUE(form.Host().TCPServer().Active());
    }
}

TEST_F(TMainFormTest, OptionAndChangePasswordAskThePasswordFirstTestDoesNot) {
    TRecordingDoorlock device;
    CurrentDoorlock = &device;
    {
        TMainForm form;
        form.show();
        {
            TModalDriver driver({Expect("TCheckPasswordForm", Cancel())});
            Child<QAction>(&form, "OptionAction")->trigger();
        }
        EXPECT_EQ(device.ShowOptionCalls, 0);
        {
            TModalDriver driver({EnterPassword(Text("mirvek"))});
            Child<QAction>(&form, "OptionAction")->trigger();
        }
        EXPECT_EQ(device.ShowOptionCalls, 1);
        {
            TModalDriver driver({Expect("TCheckPasswordForm", Cancel())});
            Child<QAction>(&form, "ChangePasswordAction")->trigger();
        }
        {
            TModalDriver driver({EnterPassword(Text("mirvek")), Expect("TChangePasswordForm", Cancel())});
            Child<QAction>(&form, "ChangePasswordAction")->trigger();
        }
        {
            TModalDriver driver({Expect("TDoorlockTestForm", Cancel())});
            Child<QAction>(&form, "TestAction")->trigger();
        }
        {
            TModalDriver driver({Expect("TAboutForm", ClickButton("btnOK"))});
            Child<QAction>(&form, "AboutAction")->trigger();
        }
    }
    // Without a device: the password is still asked, then nothing; the test dialog does not open. The
    // handler takes its device when the window starts the listener.
    CurrentDoorlock = nullptr;
    TMainForm form;
    form.show();
    {
        TModalDriver driver({EnterPassword(Text("mirvek"))});
        Child<QAction>(&form, "OptionAction")->trigger();
        Child<QAction>(&form, "TestAction")->trigger();
    }
}

TEST_F(TMainFormTest, TheTestDialogTakesTheRoomsTurnAmongTheRunningHandlers) {
    TTurnProbeDoorlock device;
    CurrentDoorlock = &device;
    TMainForm form;
    form.show();
    const std::shared_ptr<TKindHandler> handler = form.Host().Handler();
    auto* doorlock = dynamic_cast<TKindHandlerOf<TDoorlockMessageHandler>*>(handler.get());
    ASSERT_NE(doorlock, nullptr);
    device.Turns = &doorlock->Kind().IssueContext().Turns;
    {
        TModalDriver driver({Expect("TDoorlockTestForm", [](QWidget* dialog) {
            Child<QLineEdit>(dialog, "RoomNoTxt")->setText(QStringLiteral("0816"));
            Child<QPushButton>(dialog, "WriteCardBtn")->click();
            Cancel()(dialog);
        })});
        Child<QAction>(&form, "TestAction")->trigger();
    }
    ASSERT_EQ(device.Issues, 1);
    // The dialog's card was written while it held the room's turn, so a request for the room would wait.
    EXPECT_FALSE(device.TurnWasFree);
}

TEST_F(TMainFormTest, OptionActionReachesTheDeviceOptionsDialog) {
    // The IC-card device as the window build makes it: its ShowOption shows the device options dialog.
    const std::unique_ptr<TCardEncoder> encoder = CreateSimulatedCardEncoder(m_sandbox.File("SimCard.bin"));
    TIcDoorlock device(*encoder, ShowOptionForm);
    CurrentDoorlock = &device;
    TMainForm form;
    form.show();
    TBoxSeen seen;
    {
        TModalDriver driver(
            {EnterPassword(Text("mirvek")), Expect("TOptionForm", ClickButton("OKBtn")), AnswerBox(seen)});
        Child<QAction>(&form, "OptionAction")->trigger();
    }
    EXPECT_EQ(seen.Text, Text("请重新启动程序,以启用设置的参数！"));
    EXPECT_NE(ReadFileBytes(m_option.FileName).find("PortName=COM1"), std::string::npos);
}

TEST_F(TMainFormTest, PoliceTestShowsTheGuestElementOrItsError) {
    InterfaceKind = TInterfaceKind::Police;
    TFixedPolice police;
    police.Guest = {"0816",   "2008-12-31 14:05:00", "99", "110101", "Li", "CHN", "1", "", "156", "11",
                    "Road 1", "1980-01-02"};
    CurrentPolice = &police;
    TMainForm form;
    form.show();
    EXPECT_EQ(form.windowTitle(), Text("VantrelTovra公安接口"));
    EXPECT_EQ(Lines(form).value(0), Text("公安接口监听服务器已经启动..."));
    TBoxSeen seen;
    {
        TModalDriver driver({AnswerBox(seen)});
        Child<QAction>(&form, "TestAction")->trigger();
    }
    EXPECT_EQ(seen.Caption, Text("VantrelTovra公安接口"));
    EXPECT_EQ(seen.Icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.Text,
              Text("<Guest><RoomNo>0816</RoomNo><EnterTime>2008-12-31 14:05:00</EnterTime>"
                   "<IdCardTypeID>11</IdCardTypeID><IdCardNo>110101</IdCardNo><Name>Li</Name>"
                   "<Nationality>CHN</Nationality><GenderID>1</GenderID><SalutationID>2</SalutationID>"
                   "<CountryCode>156</CountryCode><ProvinceCode>11</ProvinceCode>"
                   "<Address>Road 1</Address><Birthday>1980-01-02</Birthday></Guest>"));

    police.Guest.GenderID = "x";
    {
        TModalDriver driver({AnswerBox(seen)});
        Child<QAction>(&form, "TestAction")->trigger();
    }
    EXPECT_EQ(seen.Icon, QMessageBox::Critical);
    EXPECT_EQ(seen.Text, Text("'x' is not a valid integer value."));
    EXPECT_TRUE(form.isVisible());
}

TEST_F(TMainFormTest, MemberKindOpensItsOwnOptionsAndTestDialog) {
    struct TMember : TBaseMember {
        int ShowOptionCalls = 0;
        void ShowOption() override { ++ShowOptionCalls; }
        bool WriteMemberCard(const std::string&, const std::string&, const std::string&, const std::string&,
                             int) override {
            return false;
        }
        bool ReadMemberCard(bool, std::string&, std::string&, std::string&, std::string&, std::string&,
                            int) override {
            return false;
        }
    } member;
    InterfaceKind = TInterfaceKind::Member;
    CurrentMember = &member;
    TMainForm form;
    form.show();
    EXPECT_EQ(form.windowTitle(), Text("VantrelTovra会员卡接口"));
    EXPECT_EQ(Lines(form).value(0), Text("会员卡接口监听服务器已经启动..."));
    // It keeps no issued-card records.
    EXPECT_EQ(form.findChild<QAction*>(QStringLiteral("RecordsMenuItem")), nullptr);
    {
        TModalDriver driver({EnterPassword(Text("mirvek")), Expect("TMemberTestForm", Cancel())});
        Child<QAction>(&form, "OptionAction")->trigger();
        Child<QAction>(&form, "TestAction")->trigger();
    }
    EXPECT_EQ(member.ShowOptionCalls, 1);
}
