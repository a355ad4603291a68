#pragma once

#include <string>

// Card kinds of the member-card back end.
inline constexpr int MemberCardKindHotel = -1;    // "酒店会员卡"
inline constexpr int MemberCardKindAlliance = 11; // "Vantrel联盟卡"

// The member-card back end a deployment supplies. Texts are in the system code page. Called from connection
// threads concurrently and from the test dialog on the main thread.
class TBaseMember {
public:
    virtual ~TBaseMember() = default;
    virtual void ShowOption() {}
    virtual void OpenPort() {}
    virtual void ClosePort() {}
    virtual void Beep() {}
    // True when the card was written.
    virtual bool WriteMemberCard(const std::string& cardNo, const std::string& text2,
                                 const std::string& text3, const std::string& text4, int cardKind) = 0;
    // True when a card was read; outputs the back end does not set stay as the caller passed them (empty).
    virtual bool ReadMemberCard(bool flag, std::string& cardNo, std::string& password,
                                std::string& expireDate, std::string& guestName, std::string& score,
                                int cardKind) = 0;
};

// The back end of the running host; not owned. Null when there is none.
inline TBaseMember* CurrentMember = nullptr;
