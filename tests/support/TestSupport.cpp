#include "support/TestSupport.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "doorlock/OptionUnit.h"
#include "host/InterfaceHostUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "police/BasePoliceUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

TSandbox::TSandbox() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("doorlock-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a sandbox directory");
}

TSandbox::~TSandbox() {
    std::error_code ec;
    // Tests make files read-only; give the owner write access back so that everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<TLogLine> ParseLog(const std::string& text) {
    std::vector<TLogLine> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        const bool prefixed = line.size() >= 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
                              line[13] == ':' && line[16] == ':' && line[19] == ' ';
        lines.push_back({prefixed, prefixed ? line.substr(20) : line});
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> ReadLogEntries(const std::string& path) {
    std::vector<std::string> entries;
    for (const TLogLine& line : ParseLog(GbkToUtf8(ReadFileBytes(path)))) {
        if (line.Prefixed)
            entries.push_back(line.Text);
        else if (!entries.empty())
            entries.back() += "\r\n" + line.Text;
    }
    return entries;
}

TGlobalsGuard::TGlobalsGuard()
    : m_interfaceKind(InterfaceKind), m_sysOption(SysOption), m_option(Option), m_logFile(LogFile),
      m_doorlock(CurrentDoorlock), m_store(DoorlockRecordStore), m_police(CurrentPolice),
      m_member(CurrentMember) {}

TGlobalsGuard::~TGlobalsGuard() {
    InterfaceKind = m_interfaceKind;
    SysOption = m_sysOption;
    Option = m_option;
    LogFile = m_logFile;
    CurrentDoorlock = m_doorlock;
    DoorlockRecordStore = m_store;
    CurrentPolice = m_police;
    CurrentMember = m_member;
}
