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
    // Makes the file ready for the next Append; false when it cannot be opened.
    bool Open();
    // After an Open that succeeded: the bytes at the end of the file. False when they were lost; the next
    // Open opens the file afresh.
    bool Append(std::string_view bytes);

private:
    struct TState; // the open file, as the system has it
    std::string m_fileName;
    std::unique_ptr<TState> m_state;
};

// Up to size bytes from the start of the file, in one read where the system allows it (a regular file is
// then read in full up to its end, where a stream would take more calls); -1 when it cannot be read.
long ReadFileStart(const std::string& fileName, uint8_t* data, size_t size);
