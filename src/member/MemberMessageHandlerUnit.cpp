#include "member/MemberMessageHandlerUnit.h"

#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/MessageTextUnit.h"

namespace {

struct TMemberTexts {
    std::string WriteOk = Gbk("写卡成功");
    std::string WriteFailed = Gbk("写卡失败");
    std::string WriteOkLog = Gbk("写卡成功,卡号为:");
    std::string WriteFailedLog = Gbk("写卡失败,卡号为:");
    std::string ReadOk = Gbk("读卡成功");
    std::string ReadFailed = Gbk("读卡失败");
    std::string ReadOkLog = Gbk("读卡成功，卡号为：");
};

const TMemberTexts& Texts() {
    static const TMemberTexts texts;
    return texts;
}

// The card kind of an optional child: -1 when it is missing or holds no integer.
int CardKindAt(const TXmlNode& root, int index) {
    const TXmlNode* child = root.ChildAt(index);
    return child != nullptr ? child->ValueIntegerDef(MemberCardKindHotel) : MemberCardKindHotel;
}

void WriteMemberCard(TBaseMember* member, const TXmlNode& root, TMemberResponse& response) {
    const TMemberTexts& texts = Texts();
    const std::string cardNo = RequiredChild(root, 1).ValueText();
    // The first child carries nothing the back end needs, but a request without it is incomplete.
    RequiredChild(root, 0);
    const std::string text2 = RequiredChild(root, 2).ValueText();
    const std::string text3 = RequiredChild(root, 3).ValueText();
    const std::string text4 = RequiredChild(root, 4).ValueText();
    const int cardKind = CardKindAt(root, 5);

    const bool written = member != nullptr && member->WriteMemberCard(cardNo, text2, text3, text4, cardKind);
    response.ResultCode = written ? "200" : "500";
    response.ResultMessage = written ? texts.WriteOk : texts.WriteFailed;
    response.CardNo = cardNo;
    WriteLog((written ? texts.WriteOkLog : texts.WriteFailedLog) + cardNo);
}

void ReadMemberCard(TBaseMember* member, const TXmlNode& root, TMemberResponse& response) {
    const TMemberTexts& texts = Texts();
    const bool flag = RequiredChild(root, 1).ValueInteger() == 1;
    const int cardKind = CardKindAt(root, 2);

    std::string cardNo, password, expireDate, guestName, score;
    const bool read = member != nullptr &&
                      member->ReadMemberCard(flag, cardNo, password, expireDate, guestName, score, cardKind);
    if (!read) {
        response.ResultCode = "500";
        response.ResultMessage = texts.ReadFailed;
        WriteLog(texts.ReadFailed);
        return;
    }
    // Card readers hand back the number with separators and padding; the hotel system wants it bare.
    // A double-byte character goes whole: its trail byte may look like an ASCII letter.
    std::string keptCardNo;
    for (size_t i = 0; i < cardNo.size(); ++i) {
        const auto c = static_cast<unsigned char>(cardNo[i]);
        if (IsGbkLeadByte(c))
            ++i;
        else if (IsAsciiAlphanumeric(cardNo[i]))
            keptCardNo += cardNo[i];
    }
    response.ResultCode = "200";
    response.ResultMessage = texts.ReadOk;
    response.CardNo = keptCardNo;
    response.Password = password;
    response.ExpireDate = expireDate;
    response.GuestName = guestName;
    response.Score = score;
    WriteLog(texts.ReadOkLog + keptCardNo);
}

} // namespace

std::string TMemberResponse::ToXml() const {
    std::string xml;
    xml.reserve(256);
    xml += "<DoorResponse>";
    AppendElement(xml, "RequestID", RequestID);
    AppendElement(xml, "ResultCode", ResultCode);
    AppendElement(xml, "ResultMessage", ResultMessage);
    AppendElement(xml, "CardNo", CardNo);
    AppendElement(xml, "ExpireDate", ExpireDate);
    AppendElement(xml, "GuestName", GuestName);
    AppendElement(xml, "Score", Score);
    // Last in the document although it is the fifth field: the hotel system reads it there.
    AppendElement(xml, "Password", Password);
    xml += "</DoorResponse>";
    return xml;
}

std::optional<std::string> TMemberMessageHandler::Handle(const std::string& request,
                                                         const TRequestOrigin& origin) {
    const TXmlRequest parsed(request, origin);
    TMemberResponse response;
    if (parsed.Type() == "WriteMemberCard")
        WriteMemberCard(m_member, parsed.Root(), response);
    else if (parsed.Type() == "ReadMemberCard")
        ReadMemberCard(m_member, parsed.Root(), response);
    else {
        // Not a member-card request: the connection closes without an answer.
        WriteLog(UnansweredLine(UnknownTypeReason(parsed.Type())));
        return std::nullopt;
    }
    return response.ToXml();
}
