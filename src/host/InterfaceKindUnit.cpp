#include "host/InterfaceKindUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockMessageHandlerUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "member/BaseMemberUnit.h"
#include "member/MemberMessageHandlerUnit.h"
#include "platform/CodePageUnit.h"
#include "police/BasePoliceUnit.h"
#include "police/PoliceMessageHandlerUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <algorithm>
#include <utility>

namespace {

std::unique_ptr<TKindHandler> MakeDoorlockHandler(const TKindServices& services) {
    return std::make_unique<TKindHandlerOf<TDoorlockMessageHandler>>(
        services.DoorlockSettings, services.Doorlock, services.RecordStore, services.Clock);
}

std::unique_ptr<TKindHandler> MakePoliceHandler(const TKindServices& services) {
    return std::make_unique<TKindHandlerOf<TPoliceMessageHandler>>(services.Police);
}

std::unique_ptr<TKindHandler> MakeMemberHandler(const TKindServices& services) {
    return std::make_unique<TKindHandlerOf<TMemberMessageHandler>>(services.Member);
}

const TInterfaceKindRow Kinds[] = {
    {TInterfaceKind::Doorlock, "VantrelTovra门锁接口", "门锁接口监听服务器已经启动...",
     &TSysOption::DoorlockPortNo, true, MakeDoorlockHandler},
    {TInterfaceKind::Police, "VantrelTovra公安接口", "公安接口监听服务器已经启动...",
     &TSysOption::PolicePortNo, false, MakePoliceHandler},
    {TInterfaceKind::Member, "VantrelTovra会员卡接口", "会员卡接口监听服务器已经启动...",
     &TSysOption::MemberPortNo, false, MakeMemberHandler},
};

} // namespace

TKindServices ProcessKindServices() {
    TKindServices services;
    services.DoorlockSettings = Option;
    services.Doorlock = CurrentDoorlock;
    services.RecordStore = DoorlockRecordStore;
    services.Police = CurrentPolice;
    services.Member = CurrentMember;
    return services;
}

const TInterfaceKindRow* FindInterfaceKind(TInterfaceKind kind) {
    for (const TInterfaceKindRow& row : Kinds) {
        if (row.Kind == kind)
            return &row;
    }
    return nullptr;
}

std::string KindTitle(TInterfaceKind kind) {
    const TInterfaceKindRow* row = FindInterfaceKind(kind);
    return row != nullptr ? Gbk(row->Title) : std::string();
}

std::string KindStartLine(TInterfaceKind kind) {
    const TInterfaceKindRow* row = FindInterfaceKind(kind);
    return row != nullptr ? Gbk(row->StartLine) : std::string();
}

std::string StopLine() {
    return Gbk("接口监听服务器已经停止。");
}

std::string OpenToEveryoneLine(int port) {
    return Gbk("警告：未设置 AllowedClients，能连到端口 ") + std::to_string(port) +
           Gbk(" 的每台计算机都可以发送请求（包括发卡）。");
}

std::string OpenToEveryoneLine(int port, TOpenAccess access, bool clientCertificates) {
    if (access == TOpenAccess::NoAllowList && !clientCertificates)
        return OpenToEveryoneLine(port);
    const std::string list =
        Gbk(access == TOpenAccess::NoAllowList ? "未设置 AllowedClients" : "AllowedClients 包含所有地址");
    if (!clientCertificates)
        return Gbk("警告：") + list + Gbk("，能连到端口 ") + std::to_string(port) +
               Gbk(" 的每台计算机都可以发送请求（包括发卡）。");
    return Gbk("警告：") + list + Gbk("，每台计算机都可以连到端口 ") + std::to_string(port) +
           Gbk("，但只有持有 TlsClientCA 签发的证书的客户端可以发送请求。");
}

bool AllowsEveryAddress(const std::vector<TIpv4Range>& ranges) {
    // The ranges as intervals of addresses, in order of their first one; every address is held when they
    // leave no gap from 0.0.0.0 to 255.255.255.255.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const TIpv4Range& range : ranges) {
        const uint64_t first = range.Network & range.Mask;
        spans.emplace_back(first, first + (~range.Mask & 0xFFFFFFFFu));
    }
    std::sort(spans.begin(), spans.end());
    uint64_t next = 0; // the first address not held yet
    for (const auto& [first, last] : spans) {
        if (first > next)
            return false;
        next = std::max(next, last + 1);
    }
    return next > 0xFFFFFFFFu;
}

int32_t PortForKind(const TSysOption& option, TInterfaceKind kind) {
    const TInterfaceKindRow* row = FindInterfaceKind(kind);
    return row != nullptr ? option.*(row->PortNo) : 0;
}
