#pragma once

#include <string>

// The host's information list (the window's InfoMemo, or standard output without a window). Written only
// from the main thread; request handlers hold it but write nothing to it.
class TInfoList {
public:
    virtual ~TInfoList() = default;
    // One plain line in the system code page.
    virtual void AppendLine(const std::string& line) = 0;
};
