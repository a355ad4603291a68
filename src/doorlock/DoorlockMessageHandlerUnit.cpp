#include "doorlock/DoorlockMessageHandlerUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockIssueUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/MessageTextUnit.h"

#include <optional>
#include <utility>

namespace {

struct THandlerTexts {
    std::string Executing = Gbk("执行操作->");
    std::string Done = Gbk("完成一次操作");
    std::string RoomOpen = Gbk("房间(");
    std::string IssueOk = Gbk(")发卡成功");
    std::string IssueFailed = Gbk(")发卡失败");
    std::string IssueOkMessage = Gbk("发卡成功");
    std::string IssueFailedMessage = Gbk("发卡失败");
    std::string ReadOk = Gbk("读卡成功");
    std::string ReadOkLog = Gbk("读卡成功，卡号为：");
    std::string ReadFailed = Gbk("读卡失败");
    std::string EraseOk = Gbk("注销卡成功");
    std::string EraseFailed = Gbk("注销卡失败");
};

const THandlerTexts& Texts() {
    static const THandlerTexts texts;
    return texts;
}

// The settings of a process that read no settings file: nothing moved, nothing recorded.
const TDoorlockOption& NoOptions() {
    static const TDoorlockOption none("");
    return none;
}

} // namespace

std::string TDoorlockResponse::ToXml() const {
    std::string xml;
    xml.reserve(160);
    xml += "<DoorResponse>";
    AppendElement(xml, "RequestID", RequestID);
    AppendElement(xml, "ResultCode", ResultCode);
    AppendElement(xml, "ResultMessage", ResultMessage);
    AppendElement(xml, "CardNo", IntToStr(CardNo));
    xml += "</DoorResponse>";
    return xml;
}

TDoorlockMessageHandler::TDoorlockMessageHandler(const TDoorlockOption* settings, TBaseDoorlock* device,
                                                 TDoorlockRecordStore* store,
                                                 std::function<TDateTime()> clock)
    : m_settings(settings), m_device(device), m_store(store), m_clock(std::move(clock)) {}

void TDoorlockMessageHandler::CheckUsable() const {
    if (m_store != nullptr)
        m_store->CheckUsable();
}

TCardIssueContext TDoorlockMessageHandler::IssueContext() {
    return {m_settings != nullptr ? *m_settings : NoOptions(), m_device, m_store, m_roomTurns, m_clock};
}

std::optional<std::string> TDoorlockMessageHandler::Handle(const std::string& request,
                                                           const TRequestOrigin& origin) {
    const THandlerTexts& texts = Texts();
    TDoorlockResponse response;
    std::optional<TXmlRequest> parsed;
    {
        // The two lines go to the file together; a request that cannot be read still gets its first one.
        TLogLinesAfterScope linesAfter;
        parsed.emplace(request, origin);
        WriteLog(texts.Executing);
    }
    const TXmlNode& root = parsed->Root();
    const std::string& type = parsed->Type();

    // Once the card has been dealt with, the outcome's line and the operation's last one go to the file
    // together, before the answer (a client that is gone does not change them). A read's or an erase's card
    // lines join them; an issue's are written before its records are stored.
    std::optional<TLogLinesAfterScope> linesAfter;
    bool answer = true;
    if (type == "IssueCard") {
        int64_t cardNo = 0;
        bool issued = DoIssueCard(root, origin, cardNo);
        linesAfter.emplace();
        response.ResultCode = issued ? "200" : "500";
        response.ResultMessage = issued ? texts.IssueOkMessage : texts.IssueFailedMessage;
        response.CardNo = cardNo;
        WriteLog(texts.RoomOpen + RequiredChild(root, 4, "RoomNo").ValueText() +
                 (issued ? texts.IssueOk : texts.IssueFailed));
    } else if (type == "ReadCard") {
        linesAfter.emplace();
        int64_t cardNo = 0;
        if (m_device != nullptr && m_device->ReadCard(cardNo)) {
            response.ResultCode = "200";
            response.ResultMessage = texts.ReadOk;
            response.CardNo = cardNo;
            WriteLog(texts.ReadOkLog + IntToStr(cardNo));
        } else {
            response.ResultCode = "500";
            response.ResultMessage = texts.ReadFailed;
            WriteLog(texts.ReadFailed);
        }
    } else if (type == "EraseCard") {
        linesAfter.emplace();
        if (m_device != nullptr && m_device->EraseCard()) {
            response.ResultCode = "200";
            response.ResultMessage = texts.EraseOk + " ";
            WriteLog(texts.EraseOk);
        } else {
            response.ResultCode = "500";
            response.ResultMessage = texts.EraseFailed + " ";
            WriteLog(texts.EraseFailed);
        }
    } else {
        answer = false;
        WriteLog(UnansweredLine(UnknownTypeReason(type)));
    }
    WriteLog(texts.Done);
    linesAfter.reset();
    if (!answer)
        return std::nullopt;
    return response.ToXml();
}

bool TDoorlockMessageHandler::DoIssueCard(const TXmlNode& root, const TRequestOrigin& origin,
                                          int64_t& cardNo) {
    const TCardIssueContext context = IssueContext();
    const TDoorlockOption& settings = context.Settings;
    // 64 bits: the negated most negative delay must not overflow.
    const int64_t delayMinutes = settings.DelayMinutes;
    const int64_t delayMinutes2 = settings.DelayMinutes2;

    // Everything is read and converted before anything changes, so a bad request touches nothing.
    TCardIssue issue;
    issue.RegisterId = RequiredChild(root, 1, "RegisterId").ValueText();
    issue.RoomBuildingCode = RequiredChild(root, 2, "RoomBuildingCode").ValueText();
    issue.RoomFloorCode = RequiredChild(root, 3, "RoomFloorCode").ValueText();
    issue.RoomNo = RequiredChild(root, 4, "RoomNo").ValueText();
    issue.GuestName = RequiredChild(root, 5, "GuestName").ValueText();
    const std::string checkInDate = RequiredChild(root, 6, "CheckInDate").ValueText();
    const std::string checkInTime = RequiredChild(root, 7, "CheckInTime").ValueText();
    issue.RequestedStart = IncMinutes(StrToDateTime(checkInDate + " " + checkInTime), -delayMinutes);
    const std::string checkOutDate = RequiredChild(root, 8, "CheckOutDate").ValueText();
    const std::string checkOutTime = RequiredChild(root, 9, "CheckOutTime").ValueText();
    issue.CheckOut = IncMinutes(StrToDateTime(checkOutDate + " " + checkOutTime), delayMinutes2);
    issue.IsCopy = StrToBoolDef(RequiredChild(root, 10, "IsCopy").ValueText(), false);
    // Who asked, for the issued-card row.
    issue.Source = origin.Text();

    return IssueCardWithRecords(context, issue, cardNo);
}
