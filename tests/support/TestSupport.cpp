#include "support/TestSupport.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/DoorlockRecordStoreUnit.h"
#include "host/InterfaceHostUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "police/BasePoliceUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <soci/soci.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::string RequiredEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the tests through scripts/with-postgres.sh");
    return value;
}

} // namespace

bool TPostgresSchema::Available() {
    return std::getenv("DOORLOCK_TEST_PG") != nullptr && std::getenv("DOORLOCK_TEST_PG_RESTART") != nullptr;
}

const char* TPostgresSchema::Missing() {
#ifdef _WIN32
    return "the Windows build has no PostgreSQL back end";
#else
    return "no PostgreSQL server: run the tests through scripts/with-postgres.sh";
#endif
}

std::string TPostgresSchema::ServerUri() {
    return RequiredEnvironment("DOORLOCK_TEST_PG");
}

std::string TPostgresSchema::RestartServerUri() {
    return RequiredEnvironment("DOORLOCK_TEST_PG_RESTART");
}

bool TPostgresSchema::ControlRestartServer(const std::string& command) {
    return std::system((RequiredEnvironment("DOORLOCK_TEST_PG_RESTART_CONTROL") + " " + command).c_str()) ==
           0;
}

TPostgresSchema::TPostgresSchema(const std::string& serverUri) : m_server(serverUri) {
    const std::string server = ParsePostgresConninfo(m_server).KeywordForm;
    std::random_device rd;
    // Formatted into a buffer: GCC 12 at -O3 warns falsely (-Wrestrict) on "t" + std::to_string(...).
    char name[32];
    std::snprintf(name, sizeof name, "t%u_%u", rd(), rd());
    m_name = std::string(name);
    soci::session admin("postgresql", server);
    admin << "CREATE SCHEMA " + m_name;
    m_connectText = server + " options='-c search_path=" + m_name + "'";
}

TPostgresSchema::~TPostgresSchema() {
    try {
        soci::session admin("postgresql", ParsePostgresConninfo(m_server).KeywordForm);
        admin << "SET client_min_messages TO WARNING";
        admin << "DROP SCHEMA " + m_name + " CASCADE";
    } catch (const std::exception&) {
        // The server is gone with the test run.
    }
}

std::string TPostgresSchema::Uri() const {
    return m_server + "?options=-csearch_path%3D" + m_name + "&application_name=doorlock";
}

#ifdef __linux__
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool SetImmutable(const std::filesystem::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

} // namespace
#endif

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

std::string TSandbox::File(const std::string& name) const {
    return JoinFileName(FileNameOf(m_path), name);
}

TReadOnly::TReadOnly(std::filesystem::path path) : m_path(std::move(path)) {
    std::error_code ec;
    m_perms = std::filesystem::status(m_path, ec).permissions();
    if (ec)
        return;
    using std::filesystem::perms;
    std::filesystem::permissions(m_path, perms::owner_write | perms::group_write | perms::others_write,
                                 std::filesystem::perm_options::remove, ec);
    m_made = !ec;
#ifdef __linux__
    if (m_made && geteuid() == 0)
        m_made = m_immutable = SetImmutable(m_path, true);
#endif
}

TReadOnly::~TReadOnly() {
#ifdef __linux__
    if (m_immutable)
        SetImmutable(m_path, false);
#endif
    std::error_code ec;
    std::filesystem::permissions(m_path, m_perms, ec);
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

bool ReadOnlyFilesStayWritable() {
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return geteuid() == 0;
#endif
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    // Both the runtime's copy (getenv) and the system's (what a started program inherits).
    _putenv_s(name, value != nullptr ? value : "");
    const std::u16string wideName = GbkToUtf16(name);
    const std::u16string wideValue = GbkToUtf16(value != nullptr ? value : "");
    SetEnvironmentVariableW(reinterpret_cast<const wchar_t*>(wideName.c_str()),
                            value != nullptr ? reinterpret_cast<const wchar_t*>(wideValue.c_str()) : nullptr);
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(FileSystemPath(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(FileSystemPath(path), std::ios::binary | std::ios::trunc);
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
