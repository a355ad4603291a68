#include "host/forms/HostFormsUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/forms/DoorlockTestFormUnit.h"
#include "doorlock/forms/OptionFormUnit.h"
#include "doorlock/forms/RecordsFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/forms/MainFormUnit.h"
#include "member/BaseMemberUnit.h"
#include "member/forms/MemberTestFormUnit.h"
#include "police/BasePoliceUnit.h"

#include <QtGlobal>

#include <mutex>

static void RegisterHostFormResources() {
    Q_INIT_RESOURCE(HostForms);
}

void InitFormResources() {
    static std::once_flag once;
    std::call_once(once, RegisterHostFormResources);
}

void InstallFormHooks() {
    ShowDoorlockOptionForm = [] { ShowOptionForm(); };
    DoorlockTestFormHook = [] { ShowDoorlockTestForm(); };
    DoorlockRecordsFormHook = [] { ShowRecordsForm(); };
    MemberTestFormHook = [] { ShowMemberTestForm(); };
    PoliceTestBoxHook = [](const std::string& guestXml) {
        ShowMessageBox(MainForm, ToQString(ApplicationTitle()), ToQString(guestXml), QMessageBox::NoIcon);
    };
    SetApplicationTitleSource([] { return KindTitle(InterfaceKind); });
}

void RemoveFormHooks() {
    ShowDoorlockOptionForm = nullptr;
    DoorlockTestFormHook = nullptr;
    DoorlockRecordsFormHook = nullptr;
    MemberTestFormHook = nullptr;
    PoliceTestBoxHook = nullptr;
    SetApplicationTitleSource(nullptr);
}
