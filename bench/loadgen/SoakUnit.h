#pragma once

struct TOptions;

// Soak: what months beside the hotel system do to the host, in minutes. Every client paces itself to its
// share of the rate and cycles through reads, new cards, copies, erases and requests the host must drop
// unanswered. The exit status: 0 when the host neither grew nor kept what the run left.
int RunSoak(const TOptions& options, long hostSoft);
