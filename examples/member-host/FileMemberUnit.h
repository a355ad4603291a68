#pragma once

#include "member/BaseMemberUnit.h"

#include <mutex>
#include <string>

// A member-card back end without a card device: every card written is appended as one line to a text file,
// and the card written last is the one lying on the device.
//
// The file is UTF-8, one card a line: card number, password, expiry date, guest name and card kind,
// separated by tabs; a backslash, tab, CR or LF inside a value is written as \\, \t, \r or \n.
// WriteMemberCard takes its three texts as password, expiry date and guest name. ReadMemberCard returns the
// last card as written (its number unchanged) and leaves the score empty, since this back end keeps none;
// it fails when no card has been written yet. The flag and the card kind of a read are not used.
//
// Connection threads call it concurrently: one lock around every file access.
class TFileMember : public TBaseMember {
public:
    // The card file; set once at start-up, before the listener runs.
    void SetFileName(std::string fileName);
    const std::string& FileName() const { return m_fileName; }

    // A card without a number is refused; so is a write the file does not take.
    bool WriteMemberCard(const std::string& cardNo, const std::string& text2, const std::string& text3,
                         const std::string& text4, int cardKind) override;
    bool ReadMemberCard(bool flag, std::string& cardNo, std::string& password, std::string& expireDate,
                        std::string& guestName, std::string& score, int cardKind) override;

private:
    std::mutex m_lock;
    std::string m_fileName;
};
