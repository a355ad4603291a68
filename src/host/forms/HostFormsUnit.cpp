#include "host/forms/HostFormsUnit.h"

#include "doorlock/OptionUnit.h"
#include "doorlock/forms/OptionFormUnit.h"
#include "forms/FormSupportUnit.h"
#include "host/InterfaceHostUnit.h"

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
    SetApplicationTitleSource([] { return KindTitle(InterfaceKind); });
}

void RemoveFormHooks() {
    ShowDoorlockOptionForm = nullptr;
    SetApplicationTitleSource(nullptr);
}
