#include "host/InterfaceKindUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockMessageHandlerUnit.h"
#include "member/BaseMemberUnit.h"
#include "member/MemberMessageHandlerUnit.h"
#include "platform/CodePageUnit.h"
#include "police/BasePoliceUnit.h"
#include "police/PoliceMessageHandlerUnit.h"

namespace {

template <typename THandler>
void Handle(TInfoList* infoMemo, TConnection& connection, const std::u16string& request) {
    THandler handler(infoMemo);
    handler.HandleRequest(connection, request);
}

template <typename TBackEnd> void ShowBackEndOption(TBackEnd* backEnd) {
    if (backEnd != nullptr)
        backEnd->ShowOption();
}

void ShowPoliceTest() {
    if (CurrentPolice == nullptr || !PoliceTestBoxHook)
        return;
    const TGuestRecord* guest = CurrentPolice->GetGuest();
    // A back end without a record has nothing to show: the box stays empty.
    PoliceTestBoxHook(guest != nullptr ? GuestToXml(*guest) : std::string());
}

const TInterfaceKind Kinds[] = {
    {1, "VantrelTovra门锁接口", "门锁接口监听服务器已经启动...", &TSysOption::DoorlockPortNo, true,
     Handle<TDoorlockMessageHandler>, [] { ShowBackEndOption(CurrentDoorlock); },
     [] {
         if (CurrentDoorlock != nullptr && DoorlockTestFormHook)
             DoorlockTestFormHook();
     },
     [] {
         if (DoorlockRecordsFormHook)
             DoorlockRecordsFormHook();
     }},
    {2, "VantrelTovra公安接口", "公安接口监听服务器已经启动...", &TSysOption::PolicePortNo, false,
     Handle<TPoliceMessageHandler>, [] { ShowBackEndOption(CurrentPolice); }, ShowPoliceTest, nullptr},
    {3, "VantrelTovra会员卡接口", "会员卡接口监听服务器已经启动...", &TSysOption::MemberPortNo, false,
     Handle<TMemberMessageHandler>, [] { ShowBackEndOption(CurrentMember); },
     [] {
         if (CurrentMember != nullptr && MemberTestFormHook)
             MemberTestFormHook();
     },
     nullptr},
};

} // namespace

const TInterfaceKind* FindInterfaceKind(int32_t kind) {
    for (const TInterfaceKind& row : Kinds) {
        if (row.Kind == kind)
            return &row;
    }
    return nullptr;
}

std::string KindTitle(int32_t kind) {
    const TInterfaceKind* row = FindInterfaceKind(kind);
    return row != nullptr ? Gbk(row->Title) : std::string();
}

std::string KindStartLine(int32_t kind) {
    const TInterfaceKind* row = FindInterfaceKind(kind);
    return row != nullptr ? Gbk(row->StartLine) : std::string();
}

std::string StopLine() {
    return Gbk("接口监听服务器已经停止。");
}

int32_t PortForKind(const TSysOption& option, int32_t kind) {
    const TInterfaceKind* row = FindInterfaceKind(kind);
    return row != nullptr ? option.*(row->PortNo) : 0;
}

void HandleRequestForKind(int32_t kind, TInfoList* infoMemo, TConnection& connection,
                          const std::u16string& request) {
    if (const TInterfaceKind* row = FindInterfaceKind(kind))
        row->HandleRequest(infoMemo, connection, request);
}
