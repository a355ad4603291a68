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
// it may not. On Windows only from the executable's own folder: a bare file name or a path inside it, also
// once junctions and links are followed; the full path inside the folder is returned. Elsewhere from anywhere
// but the writable data directory (when that is not the executable's own), symbolic links and ".." resolved;
// the setting is returned as it is.
std::optional<std::string> LibraryLoadPath(const std::string& setting, const std::string& executableDir,
                                           const std::string& dataDir);

// Keeps the current directory and PATH out of the search for the libraries that a program loads later, and
// for the libraries those need (Windows); nothing elsewhere, where neither is searched. Called first in main.
void RestrictLibrarySearch();
