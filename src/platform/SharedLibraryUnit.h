#pragma once

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
