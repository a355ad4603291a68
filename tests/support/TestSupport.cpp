#include "support/TestSupport.h"

#include "platform/CodePageUnit.h"
#include "platform/DisplayUnit.h"
#include "platform/FileNameUnit.h"

#include <algorithm>
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
    return RunningUnderWine();
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

std::string Framed(std::string_view text) {
    std::string bytes(text);
    bytes.push_back('\0');
    return bytes;
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

std::vector<std::string> LogLinesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (TLogLine& line : ParseLog(text))
        lines.push_back(std::move(line.Text));
    return lines;
}

std::vector<std::string> ReadLogEntries(const std::string& path, bool firstLinesOnly) {
    std::vector<std::string> entries;
    for (const TLogLine& line : ParseLog(GbkToUtf8(ReadFileBytes(path)))) {
        if (line.Prefixed)
            entries.push_back(line.Text);
        else if (!entries.empty() && !firstLinesOnly)
            entries.back() += "\r\n" + line.Text;
    }
    return entries;
}

std::string ReadLogFile(const std::string& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(FileSystemPath(dir))) {
        if (entry.path().extension() == ".LOG")
            return ReadFileBytes(FileNameOf(entry.path()));
    }
    return {};
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

size_t CountLinesStartingWith(const std::vector<std::string>& lines, const std::string& start) {
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
}
