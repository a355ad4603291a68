#pragma once

#include <optional>
#include <string>

// A shared library loaded at run time (dlopen / LoadLibrary), released with the object.
class TSharedLibrary {
public:
    // path is code page text, as the settings hold it. Raises Exception with the loader's message when the
    // library cannot be loaded.
    explicit TSharedLibrary(const std::string& path);
    ~TSharedLibrary();
    TSharedLibrary(const TSharedLibrary&) = delete;
    TSharedLibrary& operator=(const TSharedLibrary&) = delete;

    // The address of an exported symbol; nullptr when there is none.
    void* Symbol(const char* name) const;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    void* m_handle = nullptr;
};

// Where the library a setting names (code page text, as Option.ini holds it) may be loaded from; nullopt when
// it may not, with the reason in refusal (when given; empty for the data directory's rule, which the caller
// words). On Windows only from the executable's own folder: a bare file name or a path inside it, also once
// junctions and links are followed; the full path inside the folder is returned. Elsewhere a bare name is
// left to the loader's system folders; a path is taken from anywhere but the writable data directory (when
// that is not the executable's own) and only where CodeFileRefusal finds nothing wrong; its real path is
// returned, so that no link along the way can be changed between the check and the load.
std::optional<std::string> LibraryLoadPath(const std::string& setting, const std::string& executableDir,
                                           const std::string& dataDir, std::string* refusal = nullptr);

// Why code in the file (a file name of the program) may not be run, as sudo and sshd judge their files: the
// name is resolved to its real path, which must be a regular file; it and every folder above it must be owned
// by root or by this process's effective user, and writable by neither group nor others, except a folder with
// the sticky bit (/tmp). Empty when it may; realPath then receives the resolved name. Windows has its own
// rule (the programs' folder, in LibraryLoadPath) and always gets an empty answer here.
std::string CodeFileRefusal(const std::string& fileName, std::string* realPath = nullptr);

// Keeps the current directory and PATH out of the search for the libraries that a program loads later, and
// for the libraries those need (Windows); nothing elsewhere, where neither is searched. Called first in main.
void RestrictLibrarySearch();
