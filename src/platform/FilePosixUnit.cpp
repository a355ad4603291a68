#include "platform/FileUnit.h"

#include "platform/SysUtilsUnit.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// name null: the open file fd. follow false: a link in the last step is looked at itself.
bool Look(int fd, const char* name, TFileLook& look, bool follow = true) {
#ifdef __linux__
    struct statx found {};
    const int flags = name == nullptr ? AT_EMPTY_PATH : follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::statx(fd, name != nullptr ? name : "", flags, STATX_BASIC_STATS, &found) != 0)
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
    if ((name == nullptr ? ::fstat(fd, &found) : follow ? ::stat(name, &found) : ::lstat(name, &found)) != 0)
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

// Why a file of that mode is no regular file; empty for a regular one.
std::string ModeRefusal(mode_t mode) {
    if (S_ISREG(mode))
        return {};
    if (S_ISLNK(mode))
        return "is a symbolic link";
    if (S_ISDIR(mode))
        return "is not a regular file (a directory)";
    if (S_ISFIFO(mode))
        return "is not a regular file (a FIFO)";
    if (S_ISSOCK(mode))
        return "is not a regular file (a socket)";
    return "is not a regular file (a device)";
}

// Opens the name as a regular file: never through a link in the last step (O_NOFOLLOW), never waiting on a
// FIFO or device (O_NONBLOCK, cleared again once the file is known to be regular). -1 with the reason when
// refused.
int OpenRegular(const std::string& fileName, int flags, std::string& refusal) {
    // A look first, so that a device is not even opened (opening some has effects of its own).
    refusal = RegularFileRefusal(fileName);
    if (!refusal.empty())
        return -1;
    int fd;
    do
        fd = ::open(fileName.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        // Swapped in since the look: a link (ELOOP) or a FIFO without a reader (ENXIO).
        struct stat named {};
        if ((error == ELOOP || error == ENXIO) && ::lstat(fileName.c_str(), &named) == 0 &&
            !S_ISREG(named.st_mode))
            refusal = ModeRefusal(named.st_mode);
        else
            refusal = std::strerror(error);
        return -1;
    }
    struct stat opened {};
    refusal = ::fstat(fd, &opened) != 0 ? std::string(std::strerror(errno)) : ModeRefusal(opened.st_mode);
    if (!refusal.empty()) {
        ::close(fd);
        return -1;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status != -1)
        ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    return fd;
}

// A name beside the target that no other writer in this process or another one picks.
std::string TempNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const long pid = static_cast<long>(getpid());
    return target + ".tmp" + std::to_string(pid) + "." + std::to_string(counter.fetch_add(1));
}

} // namespace

std::string RegularFileRefusal(const std::string& fileName) {
    struct stat named {};
    if (::lstat(fileName.c_str(), &named) != 0)
        return errno == ENOENT ? std::string() : std::string(std::strerror(errno));
    return ModeRefusal(named.st_mode);
}

std::string ReadRegularFile(const std::string& fileName, size_t maxSize) {
    std::string refusal;
    const int fd = OpenRegular(fileName, O_RDONLY, refusal);
    if (fd < 0)
        throw Exception(fileName + ": " + (refusal.empty() ? "cannot be opened" : refusal));
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            throw Exception(fileName + ": " + std::strerror(error));
        }
        if (got == 0)
            break;
        if (static_cast<size_t>(got) > maxSize - content.size()) {
            ::close(fd);
            throw Exception(fileName + ": is larger than " + std::to_string(maxSize) + " bytes");
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return content;
}

bool WriteRegularFileAt(const std::string& fileName, uint64_t offset, const void* data, size_t size) {
    std::string refusal;
    const int fd = OpenRegular(fileName, O_WRONLY, refusal);
    if (fd < 0)
        return false;
    const auto* bytes = static_cast<const char*>(data);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::pwrite(fd, bytes + written, size - written, static_cast<off_t>(offset + written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && written == size;
}

std::optional<TFileIdentity> FileIdentityOf(const std::string& fileName) {
    TFileLook look;
    if (!Look(AT_FDCWD, fileName.c_str(), look))
        return std::nullopt;
    return look.Identity;
}

std::string CreatePrivateDirectory(const std::string& name) {
    if (::mkdir(name.c_str(), 0700) != 0)
        return std::strerror(errno);
    return {};
}

std::string WriteNewFile(const std::string& fileName, std::string_view bytes) {
    int fd;
    do
        fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return std::strerror(errno);
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string reason = n < 0 ? std::strerror(errno) : "nothing written";
            ::close(fd);
            return reason;
        }
        written += static_cast<size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const std::string reason = synced ? std::string() : std::strerror(errno);
    if (::close(fd) != 0 && synced)
        return std::strerror(errno);
    return reason;
}

std::string MoveToNewName(const std::string& source, const std::string& target) {
#ifdef __linux__
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS)
        return std::strerror(errno);
        // A file system without the flag: a look first, which leaves a moment for another program to step in.
#endif
    struct stat named {};
    if (::lstat(target.c_str(), &named) == 0)
        return std::strerror(EEXIST);
    if (::rename(source.c_str(), target.c_str()) != 0)
        return std::strerror(errno);
    return {};
}

bool ReplaceWholeFile(const std::string& target, std::string_view data) {
    struct stat old {};
    const bool exists = ::lstat(target.c_str(), &old) == 0;
    if (exists) {
        // Neither a link (the rename would put a file of ours in its place, or its target be written) nor
        // anything else that is no regular file.
        if (!S_ISREG(old.st_mode))
            return false;
        // A read-only file stays read-only: the rename alone would get past it.
        const int probe = ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0)
            return false;
        ::close(probe);
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = TempNameFor(target);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = true;
    if (exists) {
        // Keep the old file's owner and mode; a failing chown (not root) leaves ours, which is fine.
        const int chownResult = ::fchown(fd, old.st_uid, old.st_gid);
        (void)chownResult;
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    size_t written = 0;
    while (ok && written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; the data is already safe, so a failure here changes nothing.
    std::string directory = std::filesystem::path(target).parent_path().string();
    const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
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

// The right to write is asked again only when what decides it has changed. The name is looked at without
// following a link, so that a link or FIFO swapped in for the file is a different file and the open that
// follows refuses it.
bool TAppendFile::Open() {
    TState& state = *m_state;
    m_lastRefusal.clear();
    if (state.Fd >= 0) {
        TFileLook named;
        const bool keep = Look(AT_FDCWD, m_fileName.c_str(), named, false) &&
                          named.Identity == state.Look.Identity &&
                          (SameRights(named, state.Look) ||
                           ::faccessat(AT_FDCWD, m_fileName.c_str(), W_OK, AT_EACCESS) == 0);
        if (keep) {
            state.Look = named;
            return true;
        }
        state.Close();
    }
    state.Fd = OpenRegular(m_fileName, O_WRONLY | O_CREAT | O_APPEND, m_lastRefusal);
    if (state.Fd >= 0 && !Look(state.Fd, nullptr, state.Look)) {
        m_lastRefusal = std::strerror(errno);
        state.Close();
    }
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
