#pragma once

#include <string>

// The host's information list (the window's InfoMemo, or standard output without a window). Request handlers
// hold it but write nothing to it; the start and stop lines come from the main thread, the log's upkeep (a
// day's warnings, the log's disk below its floor) from its own, so every implementation takes lines from
// any thread.
class TInfoList {
public:
    virtual ~TInfoList() = default;
    // One plain line in the system code page.
    virtual void AppendLine(const std::string& line) = 0;
};
