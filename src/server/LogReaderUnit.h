#pragma once

#include <string>
#include <string_view>

// The log file read back for a terminal (`doorlock-cli log`). The file holds code page bytes as written, and
// old files or edited ones may hold any byte at all, so nothing here stops at a bad one and nothing reaches
// the terminal that it would act on.

// One line of the file, without its CR LF, as UTF-8 text. Code page 936 is decoded as Windows decodes it
// (its user-defined areas as private-use characters, 0x80 as the euro sign). A byte that is no character of
// the code page (a lead byte without its trail, a pair that names nothing) shows as "\xNN", as do the control
// bytes 0-31 but TAB (a lone CR or LF among them) and DEL. A decoded character that a terminal may act on
// (C1 controls, bidirectional overrides and isolates, other invisible format characters) shows as
// "\u{XXXX}". The writer's own "\xNN" text is left as it is, so both read alike.
std::string VisibleLogLine(std::string_view bytes);

// The escaping of VisibleLogLine for decoded text: control characters but TAB as "\xNN" (0-31, 127) or
// "\u{XXXX}" (the rest), the other characters as UTF-8.
std::string VisibleCharacters(std::u16string_view text);

// Whether the text is an IPv4 address as the log names peers: four decimal numbers 0-255, no leading zeros.
bool IsIpv4Text(std::string_view text);

// Reads a log file's bytes as they come, in pieces of any size: each complete line (ended by CR LF) comes out
// as VisibleLogLine gives it, followed by LF. With a peer address, only that peer's entries come out: a peer
// line "客户端：ADDR:PORT" (any port, a TLS subject after it or not), the "收到消息" line right after it and
// the continuation lines (no time prefix) of both; the host's own lines are left out.
class TLogReader {
public:
    explicit TLogReader(std::string peer = {});

    // The lines these bytes complete. A line longer than the reader keeps is given in parts.
    std::string Feed(std::string_view bytes);
    // The rest of a file that does not end with CR LF, as its last line; the reader then starts afresh.
    std::string Finish();

private:
    std::string Line(std::string_view bytes, bool ends);
    bool Selects(std::string_view line);

    std::string m_peer;
    std::string m_pending;      // bytes of a line whose CR LF has not come yet
    bool m_lineStarted = false; // part of the pending line has been given already
    bool m_lineSelected = true;
    bool m_inEntry = false;
    bool m_receivedNext = false; // the next prefixed line may be the entry's "收到消息"
};
