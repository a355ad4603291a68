#pragma once

#include "server/InfoListUnit.h"
#include "server/SysOptionUnit.h"
#include "server/WireUnit.h"

#include <cstdint>
#include <string>

// Everything the host knows of one interface kind. A new kind is one row of the table plus its own folder
// (its back end, its request handler and, when it has them, the window hooks its actions call).
struct TInterfaceKind {
    int32_t Kind;
    // UTF-8 here, system code page when handed out: the window caption / application title, the start line.
    const char* Title;
    const char* StartLine;
    // The listening port in Option.ini.
    int32_t TSysOption::*PortNo;
    // Whether the host opens the card encoder at start-up.
    bool UsesDevice;
    // Serves one decoded request with a fresh handler of the kind.
    void (*HandleRequest)(TInfoList* infoMemo, TConnection& connection, const std::u16string& request);
    // The window's options action (after the password) and its test action; both do nothing without the
    // kind's back end or without a window.
    void (*ShowOption)();
    void (*ShowTest)();
    // The window's records action (after the password); nullptr for a kind that keeps no records.
    void (*ShowRecords)();
};

// The row of a kind; nullptr for a kind this host does not serve.
const TInterfaceKind* FindInterfaceKind(int32_t kind);

// Per kind, in the system code page: the window caption / application title, and the start line; empty
// for a kind the host does not serve.
std::string KindTitle(int32_t kind);
std::string KindStartLine(int32_t kind);
// "接口监听服务器已经停止。"
std::string StopLine();

// The listening port of a kind in the system options; 0 for a kind the host does not serve.
int32_t PortForKind(const TSysOption& option, int32_t kind);

// Serves one decoded request with a fresh handler of the kind; nothing for a kind the host does not serve.
void HandleRequestForKind(int32_t kind, TInfoList* infoMemo, TConnection& connection,
                          const std::u16string& request);
