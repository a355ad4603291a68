#include "FileMemberUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/SysUtilsUnit.h"

#include <fstream>
#include <vector>

namespace {

// GBK value -> one escaped UTF-8 field.
std::string EncodeField(const std::string& value) {
    std::string field;
    for (char c : GbkToUtf8(value)) {
        switch (c) {
        case '\\':
            field += "\\\\";
            break;
        case '\t':
            field += "\\t";
            break;
        case '\r':
            field += "\\r";
            break;
        case '\n':
            field += "\\n";
            break;
        default:
            field += c;
        }
    }
    return field;
}

std::string DecodeField(const std::string& field) {
    std::string value;
    for (size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c == '\\' && i + 1 < field.size()) {
            char next = field[++i];
            c = next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        }
        value += c;
    }
    return Utf8ToGbk(value);
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

} // namespace

void TFileMember::SetFileName(std::string fileName) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_fileName = std::move(fileName);
}

bool TFileMember::WriteMemberCard(const std::string& cardNo, const std::string& text2,
                                  const std::string& text3, const std::string& text4, int cardKind) {
    if (cardNo.empty())
        return false;
    const std::string line = EncodeField(cardNo) + '\t' + EncodeField(text2) + '\t' + EncodeField(text3) +
                             '\t' + EncodeField(text4) + '\t' + IntToStr(cardKind) + '\n';
    std::lock_guard<std::mutex> guard(m_lock);
    std::ofstream out(m_fileName, std::ios::binary | std::ios::app);
    out << line;
    out.flush();
    return static_cast<bool>(out);
}

bool TFileMember::ReadMemberCard(bool /*flag*/, std::string& cardNo, std::string& password,
                                 std::string& expireDate, std::string& guestName, std::string& /*score*/,
                                 int /*cardKind*/) {
    std::string last;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::ifstream in(m_fileName, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back(); // a file edited on Windows
            if (!line.empty())
                last = line;
        }
    }
    if (last.empty())
        return false;
    const std::vector<std::string> fields = SplitFields(last);
    if (fields.size() < 4 || fields[0].empty())
        return false;
    cardNo = DecodeField(fields[0]);
    password = DecodeField(fields[1]);
    expireDate = DecodeField(fields[2]);
    guestName = DecodeField(fields[3]);
    return true;
}
