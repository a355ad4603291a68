#include "server/LogFileUnit.h"

#include "platform/FileNameUnit.h"

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

} // namespace

std::string LogLinesText(std::string_view message) {
    std::string text;
    text.reserve(message.size() + 2);
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        const bool lineBreak = c == '\r' || c == '\n';
        if (lineBreak) {
            text.append("\r\n");
            if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n')
                ++i;
        } else {
            text.push_back(c);
        }
        // Some viewers also start a new line at a vertical tab or a form feed.
        if ((lineBreak || c == '\v' || c == '\f') && LooksLikePrefix(message, i + 1))
            text.push_back('\t');
    }
    text.append("\r\n");
    return text;
}

TLogFile::TLogFile(std::string fileName, std::function<TDateTime()> clock)
    : m_fileName(std::move(fileName)), m_clock(std::move(clock)), m_file(m_fileName) {}

TLogFile::~TLogFile() = default;

unsigned long long TLogFile::Queue(std::string_view message) {
    std::string text = LogLinesText(message);
    std::lock_guard queue(m_queueLock);
    m_queued.push_back(std::move(text));
    return ++m_queuedCount;
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
    if (!m_file.Open())
        return;
    std::string lines;
    for (const std::string& text : texts) {
        // Each time is read as its line is written, so the lines of the file stay in time order.
        lines.append(FormatDateTime("yyyy-mm-dd hh:nn:ss ", m_clock()));
        lines.append(text);
    }
    m_file.Append(lines);
}

void TLogFile::WaitWhileWriting() {
    std::lock_guard<std::timed_mutex> guard(m_lock);
}

bool TLogFile::CloseForExit(std::chrono::milliseconds wait) {
    // The lock stays taken until the process ends.
    return m_lock.try_lock_for(wait);
}

std::string LogFileNameFor(const std::string& directory) {
    return JoinFileName(directory, FormatDateTime("yyyymmdd", Now()) + ".LOG");
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

void WriteLog(std::string_view message) {
    if (LogFile == nullptr)
        return;
    if (LinesAfter.depth == 0) {
        LogFile->WriteLog(message);
        return;
    }
    // A writer replaced meanwhile gets the lines queued so far written first.
    if (LinesAfter.log != nullptr && LinesAfter.log != LogFile)
        LinesAfter.log->Wait(LinesAfter.last);
    LinesAfter.log = LogFile;
    LinesAfter.last = LogFile->Queue(message);
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
