#pragma once

#include "platform/DateTimeUnit.h"
#include "server/SysOptionUnit.h"
#include "server/WireUnit.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The interface kinds, numbered as deployments have always given them; None until the start-up sets one.
enum class TInterfaceKind : int32_t { None = 0, Doorlock = 1, Police = 2, Member = 3 };

class TBaseDoorlock;
class TBaseMember;
class TBasePolice;
class TDoorlockOption;
class TDoorlockRecordStore;

// What a kind's handler may be given at start: the process's objects, or a test's own. Not owned; each must
// outlive the handlers made with it. A kind takes what it uses and ignores the rest.
struct TKindServices {
    // The door-lock settings ([DoorlockOption]); null: as without an Option.ini.
    const TDoorlockOption* DoorlockSettings = nullptr;
    TBaseDoorlock* Doorlock = nullptr;
    TDoorlockRecordStore* RecordStore = nullptr;
    TBasePolice* Police = nullptr;
    TBaseMember* Member = nullptr;
    // "Now" of the handler's dates.
    std::function<TDateTime()> Clock = Now;
};

// The process's own objects, as the start-up set them (Option, CurrentDoorlock, DoorlockRecordStore,
// CurrentPolice, CurrentMember) and the system clock.
TKindServices ProcessKindServices();

// The running kind's request handler, built by its row at start with what it uses.
class TKindHandler {
public:
    virtual ~TKindHandler() = default;
    // Serves one request (system code page): the response, or nullopt to close without one. Any thread.
    virtual std::optional<std::string> Handle(const std::string& request, const TRequestOrigin& origin) = 0;
    // What must hold before the host listens; raises with the reason when it does not.
    virtual void CheckUsable() {}
};

// The handler of a kind's own folder (anything with Handle, and CheckUsable if it has one) as a TKindHandler.
template <typename THandler> class TKindHandlerOf : public TKindHandler {
public:
    template <typename... TArgs>
    explicit TKindHandlerOf(TArgs&&... args) : m_handler(std::forward<TArgs>(args)...) {}
    std::optional<std::string> Handle(const std::string& request, const TRequestOrigin& origin) override {
        return m_handler.Handle(request, origin);
    }
    void CheckUsable() override {
        if constexpr (requires { m_handler.CheckUsable(); })
            m_handler.CheckUsable();
    }
    THandler& Kind() { return m_handler; }

private:
    THandler m_handler;
};

// Everything the core knows of one interface kind. A new kind is one row of this table plus its own folder
// (its back end and its request handler), and, for the window, its row of window actions there.
struct TInterfaceKindRow {
    TInterfaceKind Kind;
    // UTF-8 here, system code page when handed out: the window caption / application title, the start line.
    const char* Title;
    const char* StartLine;
    // The listening port in Option.ini.
    int32_t TSysOption::*PortNo;
    // Whether the host opens the card encoder at start-up.
    bool UsesDevice;
    // Builds the kind's request handler from what the process (or a test) gives it.
    std::unique_ptr<TKindHandler> (*MakeHandler)(const TKindServices& services);
};

// The row of a kind; nullptr for a kind this host does not serve.
const TInterfaceKindRow* FindInterfaceKind(TInterfaceKind kind);

// Per kind, in the system code page: the window caption / application title, and the start line; empty
// for a kind the host does not serve.
std::string KindTitle(TInterfaceKind kind);
std::string KindStartLine(TInterfaceKind kind);
// "接口监听服务器已经停止。"
std::string StopLine();
// The start's warning while AllowedClients is empty: every computer that reaches the port may send requests.
std::string OpenToEveryoneLine(int port);
// Why every computer may connect: no AllowedClients, or one whose ranges together hold every IPv4 address.
enum class TOpenAccess { NoAllowList, AllowListOfEveryAddress };
// The start's warning on an open port. With client certificates (TlsClientCA) it says that anyone may
// connect but only holders of a certificate of that CA may send requests.
std::string OpenToEveryoneLine(int port, TOpenAccess access, bool clientCertificates);
// Whether the ranges together hold every IPv4 address (0.0.0.0/0, or 0.0.0.0/1 beside 128.0.0.0/1 ...).
bool AllowsEveryAddress(const std::vector<TIpv4Range>& ranges);

// The listening port of a kind in the system options; 0 for a kind the host does not serve.
int32_t PortForKind(const TSysOption& option, TInterfaceKind kind);
