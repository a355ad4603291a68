#include "host/InterfaceKindUnit.h"

#include "doorlock/DoorlockMessageHandlerUnit.h"
#include "member/MemberMessageHandlerUnit.h"
#include "platform/CodePageUnit.h"
#include "police/PoliceMessageHandlerUnit.h"

namespace {

const TInterfaceKindRow Kinds[] = {
    {TInterfaceKind::Doorlock, "VantrelTovra门锁接口", "门锁接口监听服务器已经启动...",
     &TSysOption::DoorlockPortNo, true, HandleDoorlockRequest},
    {TInterfaceKind::Police, "VantrelTovra公安接口", "公安接口监听服务器已经启动...",
     &TSysOption::PolicePortNo, false, HandlePoliceRequest},
    {TInterfaceKind::Member, "VantrelTovra会员卡接口", "会员卡接口监听服务器已经启动...",
     &TSysOption::MemberPortNo, false, HandleMemberRequest},
};

} // namespace

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

int32_t PortForKind(const TSysOption& option, TInterfaceKind kind) {
    const TInterfaceKindRow* row = FindInterfaceKind(kind);
    return row != nullptr ? option.*(row->PortNo) : 0;
}
