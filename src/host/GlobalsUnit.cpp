// The process-wide references, defined in one place. The start-up sets them in its fixed order; tests
// install their own through a guard that restores the previous ones.
#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/DoorlockRecordManagerUnit.h"
#include "doorlock/OptionUnit.h"
#include "host/InterfaceHostUnit.h"
#include "host/LogFileUnit.h"
#include "host/SysOptionUnit.h"
#include "member/BaseMemberUnit.h"
#include "platform/DateTimeUnit.h"
#include "police/BasePoliceUnit.h"

int32_t InterfaceKind = 0;
TSysOption* SysOption = nullptr;
TLogFile* LogFile = nullptr;
TOption* Option = nullptr;
TBaseDoorlock* CurrentDoorlock = nullptr;
TDoorlockRecordManager* DoorlockRecordManager = nullptr;
TBasePolice* CurrentPolice = nullptr;
TBaseMember* CurrentMember = nullptr;
std::function<void()> ShowDoorlockOptionForm;
TFormatSettings FormatSettings;
