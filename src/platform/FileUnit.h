#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Which file a name leads to: two looks at the same file give the same identity, whatever its name is now.
struct TFileIdentity {
    unsigned long long Device = 0;
    unsigned long long Index = 0; // the inode, or the file index within the volume
    bool operator==(const TFileIdentity&) const = default;
};

// The file the name leads to now; none when it leads to no file.
std::optional<TFileIdentity> FileIdentityOf(const std::string& fileName);

// The files of the program directory are opened as regular files only and never through a link in the last
// step of their name: a front-desk account that may write the directory could otherwise swap one for a link
// to a file of the operator (bytes then land there) or for a FIFO (every open then hangs).

// Why the name cannot be opened as a regular file ("is a symbolic link", "is not a regular file", or the
// system's error text); empty when it can, and when it leads to nothing yet (it may be created).
std::string RegularFileRefusal(const std::string& fileName);
// The whole content of a regular file, opened without following a link in its last step and refused at once
// (never blocking) when it is a FIFO, device, socket or directory; more than maxSize bytes is an error.
// Raises Exception("<name>: <reason>") on any failure.
std::string ReadRegularFile(const std::string& fileName, size_t maxSize);
// Writes size bytes at offset into an existing regular file, opened as ReadRegularFile opens it (nothing is
// created); false when refused or not written.
bool WriteRegularFileAt(const std::string& fileName, uint64_t offset, const void* data, size_t size);

// Creates the directory, which must not exist yet; on POSIX only its owner may enter it (0700), on Windows it
// takes its parent's permissions. Empty when made, else the reason.
std::string CreatePrivateDirectory(const std::string& name);
// Creates the file, which must not exist yet (not even as a link), readable by its owner only on POSIX, with
// the bytes, and on disk when it returns. Empty when written, else the reason.
std::string WriteNewFile(const std::string& fileName, std::string_view bytes);
// Gives a file or directory a new name in one step; the target must not exist (it is never replaced, not even
// an empty directory). Empty when moved, else the reason.
std::string MoveToNewName(const std::string& source, const std::string& target);
// Replaces the whole content of a regular file, or creates it: the bytes go to a new file beside it, which is
// on disk before it takes the name in one step, so a crash leaves either the old content or the new, never
// half of it. The old file's owner and mode stay (POSIX); a link, anything else that is no regular file, a
// read-only file and one this process may not write are refused. False when refused or not written.
bool ReplaceWholeFile(const std::string& fileName, std::string_view bytes);

// A file that bytes are appended to as if it were opened and closed for every append: a removed or renamed
// file is created again, a file that may no longer be written loses the bytes. Where the system lets an open
// file be removed and renamed, it stays open as long as the name still leads to it and nothing that decides
// the right to write has changed, which costs one look-up instead of an open and a close; elsewhere (Windows)
// it is opened for each append, since an open file there could be neither removed nor renamed.
class TAppendFile {
public:
    explicit TAppendFile(std::string fileName);
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    const std::string& FileName() const { return m_fileName; }
    // Makes the file ready for the next Append; false when it cannot be opened, or when the name leads to a
    // link or to something other than a regular file (refused at once, never waiting on a FIFO).
    bool Open();
    // Why the last Open failed, in English ("is a symbolic link", the system's error text); empty after an
    // Open that succeeded.
    const std::string& LastRefusal() const { return m_lastRefusal; }
    // After an Open that succeeded: the bytes at the end of the file. False when they were lost; the next
    // Open opens the file afresh.
    bool Append(std::string_view bytes);

private:
    struct TState; // the open file, as the system has it
    std::string m_fileName;
    std::string m_lastRefusal;
    std::unique_ptr<TState> m_state;
};
