#include "host/forms/HostFormsUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockMessageHandlerUnit.h"
#include "doorlock/forms/DoorlockTestFormUnit.h"
#include "doorlock/forms/RecordsFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/forms/MainFormUnit.h"
#include "member/BaseMemberUnit.h"
#include "member/forms/MemberTestFormUnit.h"
#include "police/BasePoliceUnit.h"
#include "police/PoliceMessageHandlerUnit.h"

#include <QtGlobal>

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>

static void RegisterHostFormResources() {
    Q_INIT_RESOURCE(HostForms);
}

void InitFormResources() {
    static std::once_flag once;
    std::call_once(once, RegisterHostFormResources);
}

namespace {

template <typename TBackEnd> void ShowBackEndOption(TBackEnd* backEnd) {
    if (backEnd != nullptr)
        backEnd->ShowOption();
}

// The door-lock test dialog issues with the running handler's objects, so that its issues and the
// handler's take turns per room.
void ShowDoorlockTest(TInterfaceHost& host) {
    const std::shared_ptr<TKindHandler> handler = host.Handler();
    auto* doorlock = dynamic_cast<TKindHandlerOf<TDoorlockMessageHandler>*>(handler.get());
    if (doorlock != nullptr && doorlock->Kind().Device() != nullptr)
        ShowDoorlockTestForm(doorlock->Kind().IssueContext());
}

void ShowPoliceTest(TInterfaceHost&) {
    if (CurrentPolice == nullptr)
        return;
    const TGuestRecord* guest = CurrentPolice->GetGuest();
    // A back end without a record has nothing to show: the box stays empty.
    const std::string guestXml = guest != nullptr ? GuestToXml(*guest) : std::string();
    ShowMessageBox(MainForm, ToQString(ApplicationTitle()), ToQString(guestXml), QMessageBox::NoIcon);
}

const TKindWindowActions KindActions[] = {
    {TInterfaceKind::Doorlock, [] { ShowBackEndOption(CurrentDoorlock); }, ShowDoorlockTest, ShowRecordsForm},
    {TInterfaceKind::Police, [] { ShowBackEndOption(CurrentPolice); }, ShowPoliceTest, nullptr},
    {TInterfaceKind::Member, [] { ShowBackEndOption(CurrentMember); },
     [](TInterfaceHost&) {
         if (CurrentMember != nullptr)
             ShowMemberTestForm();
     },
     nullptr},
};

} // namespace

const TKindWindowActions* FindKindWindowActions(TInterfaceKind kind) {
    const auto* row =
        std::find_if(std::begin(KindActions), std::end(KindActions),
                     [kind](const TKindWindowActions& actions) { return actions.Kind == kind; });
    return row != std::end(KindActions) ? row : nullptr;
}
