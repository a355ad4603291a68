#include "police/PoliceMessageHandlerUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"
#include "server/MessageTextUnit.h"

namespace {

struct TPoliceTexts {
    std::string Result = Gbk("返回结果: ") + "\r\n";
};

const TPoliceTexts& Texts() {
    static const TPoliceTexts texts;
    return texts;
}

} // namespace

std::string GuestToXml(const TGuestRecord& guest) {
    // Computed first: a GenderID that is no integer fails the whole element. Widened so that the largest
    // integer still gets its successor instead of wrapping.
    const std::string salutation = IntToStr(static_cast<int64_t>(StrToInt(guest.GenderID)) + 1);

    std::string xml;
    xml.reserve(400);
    xml += "<Guest>";
    AppendElement(xml, "RoomNo", guest.RoomNo);
    AppendElement(xml, "EnterTime", guest.EnterTime);
    // The registration system knows only the resident identity card.
    xml += "<IdCardTypeID>11</IdCardTypeID>";
    AppendElement(xml, "IdCardNo", guest.IdCardNo);
    AppendElement(xml, "Name", guest.Name);
    AppendElement(xml, "Nationality", guest.Nationality);
    AppendElement(xml, "GenderID", guest.GenderID);
    AppendElement(xml, "SalutationID", salutation);
    AppendElement(xml, "CountryCode", guest.CountryCode);
    AppendElement(xml, "ProvinceCode", guest.ProvinceCode);
    AppendElement(xml, "Address", guest.Address);
    AppendElement(xml, "Birthday", guest.Birthday);
    xml += "</Guest>";
    return xml;
}

std::optional<std::string> TPoliceMessageHandler::Handle(const std::string& request,
                                                         const TRequestOrigin& origin) {
    const TPoliceTexts& texts = Texts();
    // The request only goes to the log: every request is answered with the current guest.
    LogReceivedRequest(request, origin);

    const TGuestRecord* guest = m_police != nullptr ? m_police->GetGuest() : nullptr;
    std::string response = "<PoliceResponse>";
    if (guest != nullptr)
        response += GuestToXml(*guest);
    response += "</PoliceResponse>";

    WriteLog(texts.Result + response);
    return response;
}
