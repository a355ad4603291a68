#include "platform/FileUnit.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// What a look at a file tells: which file it is, and what decides whether it may be written.
struct TFileLook {
    TFileIdentity Identity;
    unsigned Mode = 0, Owner = 0, Group = 0;
    unsigned long long Flags = 0; // immutable and append-only
    bool FlagsKnown = false;      // the file system reports those flags
};

// name null: the open file fd.
bool Look(int fd, const char* name, TFileLook& look) {
#ifdef __linux__
    struct statx found {};
    if (::statx(fd, name != nullptr ? name : "", name != nullptr ? 0 : AT_EMPTY_PATH, STATX_BASIC_STATS,
                &found) != 0)
        return false;
    constexpr unsigned long long Flags = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    look = {{makedev(found.stx_dev_major, found.stx_dev_minor), found.stx_ino},
            found.stx_mode,
            found.stx_uid,
            found.stx_gid,
            found.stx_attributes & Flags,
            (found.stx_attributes_mask & Flags) == Flags};
#else
    struct stat found {};
    if ((name != nullptr ? ::stat(name, &found) : ::fstat(fd, &found)) != 0)
        return false;
    look = {{static_cast<unsigned long long>(found.st_dev), static_cast<unsigned long long>(found.st_ino)},
            static_cast<unsigned>(found.st_mode),
            static_cast<unsigned>(found.st_uid),
            static_cast<unsigned>(found.st_gid),
            0,
            false};
#endif
    return true;
}

// Nothing that decides the right to write has changed (mode bits, owner, group, immutable and append-only
// flags), so the answer of the last check still holds.
bool SameRights(const TFileLook& a, const TFileLook& b) {
    return a.FlagsKnown && b.FlagsKnown && a.Mode == b.Mode && a.Owner == b.Owner && a.Group == b.Group &&
           a.Flags == b.Flags;
}

} // namespace

std::optional<TFileIdentity> FileIdentityOf(const std::string& fileName) {
    TFileLook look;
    if (!Look(AT_FDCWD, fileName.c_str(), look))
        return std::nullopt;
    return look.Identity;
}

struct TAppendFile::TState {
    int Fd = -1;
    TFileLook Look; // of the open file, when it was last looked at

    void Close() {
        if (Fd >= 0)
            ::close(std::exchange(Fd, -1));
    }
};

TAppendFile::TAppendFile(std::string fileName)
    : m_fileName(std::move(fileName)), m_state(std::make_unique<TState>()) {}

TAppendFile::~TAppendFile() {
    m_state->Close();
}

// The right to write is asked again only when what decides it has changed.
bool TAppendFile::Open() {
    TState& state = *m_state;
    if (state.Fd >= 0) {
        TFileLook named;
        const bool keep = Look(AT_FDCWD, m_fileName.c_str(), named) &&
                          named.Identity == state.Look.Identity &&
                          (SameRights(named, state.Look) ||
                           ::faccessat(AT_FDCWD, m_fileName.c_str(), W_OK, AT_EACCESS) == 0);
        if (keep) {
            state.Look = named;
            return true;
        }
        state.Close();
    }
    state.Fd = ::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (state.Fd >= 0 && !Look(state.Fd, nullptr, state.Look))
        state.Close();
    return state.Fd >= 0;
}

bool TAppendFile::Append(std::string_view bytes) {
    TState& state = *m_state;
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(state.Fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Lost, as a failed write always lost it; the next Open opens the file afresh.
            state.Close();
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

long ReadFileStart(const std::string& fileName, uint8_t* data, size_t size) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got;
    do
        got = ::read(fd, data, size);
    while (got < 0 && errno == EINTR);
    ::close(fd);
    return static_cast<long>(got);
}
