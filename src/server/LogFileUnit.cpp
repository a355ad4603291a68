#include "server/LogFileUnit.h"

#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

TLogFile* LogFile = nullptr;

namespace {

// What a viewer may show as nothing, or as a mere indent, at the start of a line, or may step back over:
// blanks, control characters and the code page's full-width space. Returns its length, 0 for anything else.
size_t BlankAt(std::string_view text, size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '\r' || c == '\n')
        return 0; // the next line's, which gets its own look
    if (c <= 0x20 || c == 0x7F)
        return 1;
    if (c == 0xA1 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) == 0xA1)
        return 2;
    return 0;
}

// Whether the text from at on reads, past any blanks, like the date and time of a line's prefix.
bool LooksLikePrefix(std::string_view text, size_t at) {
    static constexpr std::string_view shape = "0000-00-00 00:00:00";
    while (at < text.size()) {
        const size_t blank = BlankAt(text, at);
        if (blank == 0)
            break;
        at += blank;
    }
    if (text.size() - at < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = text[at + i];
        if (shape[i] == '0' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    return true;
}

void AppendEscaped(std::string& text, unsigned char byte) {
    static constexpr char digits[] = "0123456789abcdef";
    text += "\\x";
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
}

// A byte written as it is when it stands alone: printable ASCII and TAB (CR and LF are line breaks).
bool PlainSingleByte(unsigned char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t';
}

constexpr long long MinutesPerDay = 1440;

std::string LowSpaceLine(unsigned long long minFreeBytes) {
    return Gbk("日志所在磁盘的可用空间低于 ") + std::to_string(minFreeBytes / (1024 * 1024)) +
           Gbk(" MB（LogMinFreeMB），请求文本不再写入日志；发卡等操作照常记录");
}

std::string SpaceBackLine(unsigned long long minFreeBytes) {
    return Gbk("日志所在磁盘的可用空间已恢复到 ") + std::to_string(minFreeBytes / (1024 * 1024)) +
           Gbk(" MB 以上，请求文本重新写入日志");
}

unsigned long long FileSystemFreeSpace(const std::string& fileName) {
    std::error_code ec;
    const std::filesystem::space_info space =
        std::filesystem::space(FileSystemPath(fileName).parent_path(), ec);
    // A disk that cannot be asked is not taken for a full one.
    return ec ? ~0ULL : static_cast<unsigned long long>(space.available);
}

} // namespace

std::string LogLinesText(std::string_view message) {
    std::string text;
    text.reserve(message.size() + 2);
    for (size_t i = 0; i < message.size(); ++i) {
        const auto c = static_cast<unsigned char>(message[i]);
        const bool lineBreak = c == '\r' || c == '\n';
        if (lineBreak) {
            text.append("\r\n");
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n')
                ++i;
        } else if (IsGbkLeadByte(c) && i + 1 < message.size() &&
                   IsGbkTrailByte(static_cast<unsigned char>(message[i + 1]))) {
            text.append(message.substr(i, 2));
            ++i;
        } else if (PlainSingleByte(c)) {
            text.push_back(static_cast<char>(c));
        } else {
            AppendEscaped(text, c);
        }
        // Some viewers also start a new line at a vertical tab or a form feed.
        if ((lineBreak || c == '\v' || c == '\f') && LooksLikePrefix(message, i + 1))
            text.push_back('\t');
    }
    text.append("\r\n");
    return text;
}

TLogFile::TLogFile(std::string fileName, std::function<TDateTime()> clock)
    : m_fileName(std::move(fileName)), m_clock(std::move(clock)),
      m_file(std::make_unique<TAppendFile>(m_fileName)) {}

TLogFile::~TLogFile() = default;

std::string TLogFile::CurrentFileName() const {
    std::lock_guard lock(m_nameLock);
    return m_file->FileName();
}

void TLogFile::UseDailyFiles(const std::string& directory) {
    std::lock_guard<std::timed_mutex> guard(m_lock);
    m_directory = directory;
}

unsigned long long TLogFile::Queue(std::initializer_list<std::string_view> messages) {
    std::vector<std::string> texts;
    texts.reserve(messages.size());
    for (std::string_view message : messages)
        texts.push_back(LogLinesText(message));
    std::lock_guard queue(m_queueLock);
    for (std::string& text : texts)
        m_queued.push_back(std::move(text));
    m_queuedCount += texts.size();
    return m_queuedCount;
}

void TLogFile::Wait(unsigned long long mine) {
    // Concurrent lines wait for each other instead of one of them being dropped. Whoever finds nobody writing
    // writes what has queued up meanwhile; the others wait until their lines are written.
    std::unique_lock queue(m_queueLock);
    for (;;) {
        const unsigned long long written = m_writtenCount.Value();
        if (written >= mine)
            return;
        if (m_writing) {
            m_writtenCount.WaitChange(queue, written);
            continue;
        }
        m_writing = true;
        std::vector<std::string> texts;
        texts.swap(m_queued);
        const unsigned long long last = m_queuedCount;
        queue.unlock();
        // Whatever happens to these lines, the next ones are written by someone.
        struct TDone {
            TLogFile& log;
            std::unique_lock<std::mutex>& queue;
            unsigned long long last;
            ~TDone() {
                queue.lock();
                log.m_writing = false;
                log.m_writtenCount.Set(last);
            }
        } done{*this, queue, last};
        std::lock_guard<std::timed_mutex> guard(m_lock);
        WriteLines(texts);
    }
}

void TLogFile::WriteLines(const std::vector<std::string>& texts) {
    std::string lines;
    std::string fileName = m_file->FileName();
    for (const std::string& text : texts) {
        // Each time is read as its line is written, so the lines of the file stay in time order.
        const TDateTime now = m_clock();
        if (!m_directory.empty()) {
            std::string dayFile = LogFileNameFor(m_directory, now);
            if (dayFile != fileName) {
                AppendTo(fileName, lines);
                lines.clear();
                fileName = std::move(dayFile);
            }
        }
        lines.append(FormatDateTime("yyyy-mm-dd hh:nn:ss ", now));
        lines.append(text);
    }
    AppendTo(fileName, lines);
}

void TLogFile::AppendTo(const std::string& fileName, const std::string& lines) {
    if (fileName != m_file->FileName()) {
        auto file = std::make_unique<TAppendFile>(fileName);
        std::lock_guard lock(m_nameLock);
        m_file = std::move(file);
    }
    if (lines.empty())
        return;
    if (m_file->Open()) {
        m_refusalTold.clear();
        m_file->Append(lines);
        return;
    }
    // A file that cannot be written loses its lines quietly; one put in the log's place as a link or a FIFO
    // is said where the operator sees it, since the log itself cannot say it.
    const std::string refusal = RegularFileRefusal(fileName);
    if (refusal.empty() || refusal == m_refusalTold)
        return;
    m_refusalTold = refusal;
    std::function<void(const std::string&)> onNotice;
    {
        std::lock_guard lock(m_limitLock);
        onNotice = m_onNotice;
    }
    if (onNotice)
        onNotice(Gbk("日志文件无法写入，日志行丢失: ") + fileName + ": " + refusal);
}

void TLogFile::WaitWhileWriting() {
    std::lock_guard<std::timed_mutex> guard(m_lock);
}

bool TLogFile::CloseForExit(std::chrono::milliseconds wait) {
    // The lock stays taken until the process ends.
    return m_lock.try_lock_for(wait);
}

void TLogFile::SetTextLimits(size_t bytesPerMinute, unsigned long long minFreeBytes,
                             std::function<unsigned long long()> freeSpace,
                             std::chrono::milliseconds recheck) {
    std::lock_guard lock(m_limitLock);
    m_bytesPerMinute = bytesPerMinute;
    m_minFreeBytes = minFreeBytes;
    m_freeSpace = std::move(freeSpace);
    m_recheck = recheck;
    m_spaceLooked = false;
}

void TLogFile::SetOnNotice(std::function<void(const std::string& line)> onNotice) {
    std::lock_guard lock(m_limitLock);
    m_onNotice = std::move(onNotice);
}

bool TLogFile::LowOnSpace() const {
    std::lock_guard lock(m_limitLock);
    return m_lowSpace;
}

TLogFile::TTextVerdict TLogFile::TakeText(const std::string& key, size_t size) {
    std::string changeLine;
    std::function<void(const std::string&)> onChange;
    TTextVerdict verdict = TTextVerdict::Keep;
    {
        std::lock_guard lock(m_limitLock);
        // The disk is asked at most once per recheck: a request must not cost a look at the file system.
        const auto now = std::chrono::steady_clock::now();
        if (m_minFreeBytes > 0 && (!m_spaceLooked || now - m_spaceLookedAt >= m_recheck)) {
            m_spaceLooked = true;
            m_spaceLookedAt = now;
            const unsigned long long available =
                m_freeSpace ? m_freeSpace() : FileSystemFreeSpace(CurrentFileName());
            const bool low = available < m_minFreeBytes;
            if (low != m_lowSpace) {
                m_lowSpace = low;
                changeLine = low ? LowSpaceLine(m_minFreeBytes) : SpaceBackLine(m_minFreeBytes);
                onChange = m_onNotice;
            }
        }
        if (m_minFreeBytes > 0 && m_lowSpace)
            verdict = TTextVerdict::LowSpace;
        if (verdict == TTextVerdict::Keep && m_bytesPerMinute > 0) {
            const auto minute = static_cast<long long>(std::floor(m_clock() * MinutesPerDay));
            // The senders of earlier minutes go once there are many, so that many addresses cannot fill
            // the memory either.
            if (m_senders.size() >= 4096)
                std::erase_if(m_senders,
                              [minute](const auto& sender) { return sender.second.Minute != minute; });
            TSender& sender = m_senders[key];
            if (sender.Minute != minute)
                sender = {minute, 0, false};
            if (size > m_bytesPerMinute - std::min(sender.Used, m_bytesPerMinute)) {
                verdict = sender.Noted ? TTextVerdict::OverBudget : TTextVerdict::OverBudgetFirst;
                sender.Noted = true;
            } else {
                sender.Used += size;
            }
        }
    }
    if (!changeLine.empty()) {
        WriteLog(changeLine);
        if (onChange)
            onChange(changeLine);
    }
    if (verdict == TTextVerdict::LowSpace)
        m_textsLowSpace.fetch_add(1, std::memory_order_relaxed);
    else if (verdict != TTextVerdict::Keep)
        m_textsOverBudget.fetch_add(1, std::memory_order_relaxed);
    return verdict;
}

std::string LogFileNameFor(const std::string& directory) {
    return LogFileNameFor(directory, Now());
}

std::string LogFileNameFor(const std::string& directory, TDateTime day) {
    return JoinFileName(directory, FormatDateTime("yyyymmdd", day) + ".LOG");
}

namespace {

// The day of a name "yyyymmdd.LOG" (a real date), as days since 1899-12-30; -1 for any other name.
long long LogFileDay(const std::string& name) {
    if (name.size() != 12 || name.compare(8, 4, ".LOG") != 0)
        return -1;
    if (!std::all_of(name.begin(), name.begin() + 8, [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    TDateTimeParts parts;
    parts.Year = std::stoi(name.substr(0, 4));
    parts.Month = std::stoi(name.substr(4, 2));
    parts.Day = std::stoi(name.substr(6, 2));
    TDateTime value = 0;
    if (!TryEncodeDateTime(parts, value))
        return -1;
    return static_cast<long long>(std::floor(value));
}

} // namespace

std::vector<std::string> DeleteOldLogFiles(const std::string& directory, int keepDays, TDateTime today) {
    std::vector<std::string> deleted;
    if (keepDays <= 0)
        return deleted;
    const long long oldestKept = static_cast<long long>(std::floor(today)) - keepDays;
    std::error_code ec;
    std::filesystem::directory_iterator it(FileSystemPath(directory), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = FileNameOf(it->path().filename());
        const long long day = LogFileDay(name);
        std::error_code statEc;
        // symlink_status: a link is not a log file, whatever it leads to.
        if (day < 0 || day >= oldestKept || !std::filesystem::is_regular_file(it->symlink_status(statEc)))
            continue;
        std::error_code removeEc;
        if (std::filesystem::remove(it->path(), removeEc))
            deleted.push_back(name);
    }
    std::sort(deleted.begin(), deleted.end());
    return deleted;
}

std::string DeletedLogFilesLine(int keepDays, const std::vector<std::string>& names) {
    std::string line =
        Gbk("已删除超过 ") + std::to_string(keepDays) + Gbk(" 天的日志文件（LogRetentionDays）：");
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            line += ", ";
        line += names[i];
    }
    return line;
}

namespace {

// The lines of this thread's outermost TLogLinesAfterScope: the writer and the last line's number.
struct TLinesAfter {
    int depth = 0;
    TLogFile* log = nullptr;
    unsigned long long last = 0;
};
thread_local TLinesAfter LinesAfter;

} // namespace

void WriteLogEntry(std::initializer_list<std::string_view> messages) {
    if (LogFile == nullptr)
        return;
    if (LinesAfter.depth == 0) {
        LogFile->WriteEntry(messages);
        return;
    }
    // A writer replaced meanwhile gets the lines queued so far written first.
    if (LinesAfter.log != nullptr && LinesAfter.log != LogFile)
        LinesAfter.log->Wait(LinesAfter.last);
    LinesAfter.log = LogFile;
    LinesAfter.last = LogFile->Queue(messages);
}

void WriteLog(std::string_view message) {
    WriteLogEntry({message});
}

TLogLinesAfterScope::TLogLinesAfterScope() {
    ++LinesAfter.depth;
}

TLogLinesAfterScope::~TLogLinesAfterScope() {
    if (--LinesAfter.depth > 0 || LinesAfter.log == nullptr)
        return;
    TLogFile* log = std::exchange(LinesAfter.log, nullptr);
    log->Wait(LinesAfter.last);
}
