#include "host/HostProcessUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "doorlock/CardEncoderUnit.h"
#include "doorlock/DoorlockOptionUnit.h"
#include "doorlock/IcDoorlockUnit.h"
#include "platform/FileNameUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/LogFileUnit.h"
#include "server/SysOptionUnit.h"

#include <chrono>
#include <utility>

THostProcess::THostProcess(std::string programDir, std::string executableDir)
    : m_programDir(std::move(programDir)), m_executableDir(std::move(executableDir)) {
    const std::string iniFile = JoinFileName(m_programDir, "Option.ini");
    m_option = std::make_unique<TDoorlockOption>(iniFile);
    m_option->LoadOption();
    Option = m_option.get();

    m_logFile = std::make_unique<TLogFile>(LogFileNameFor(m_programDir));
    LogFile = m_logFile.get();

    m_sysOption = std::make_unique<TSysOption>(iniFile);
    m_sysOption->LoadOption();
    SysOption = m_sysOption.get();

    // A store that cannot be opened is logged; the host runs on and later operations try again.
    m_store = std::make_unique<TDoorlockRecordStore>(RecordStoreTarget(m_option->Database, m_programDir));
    DoorlockRecordStore = m_store.get();
    WriteLog(m_store->Description());
    if (!m_store->CredentialsWarning().empty())
        WriteLog(m_store->CredentialsWarning());
    m_store->OpenDatabase();
}

THostProcess::~THostProcess() {
    CloseDevice(false);
    DoorlockRecordStore = nullptr;
    m_store.reset();
    LogFile = nullptr;
    m_logFile.reset();
    // The options live as long as the process-wide references may be read.
}

TBaseDoorlock* THostProcess::OpenDevice(void (*optionDialog)()) {
    m_encoder = CreateCardEncoder(Option->EncoderLibrary, m_programDir, m_executableDir);
    WriteLog(m_encoder->Description());
    m_device = std::make_unique<TIcDoorlock>(*m_encoder, optionDialog);
    m_device->OpenPort();
    return m_device.get();
}

void THostProcess::CloseForExit() {
    // A store or log operation still running (a database busy with another program) is given a moment.
    constexpr auto wait = std::chrono::seconds(1);
    if (m_store)
        m_store->CloseForExit(wait);
    if (m_logFile)
        m_logFile->CloseForExit(wait);
}

void THostProcess::CloseDevice(bool closePort) {
    if (!m_device)
        return;
    if (closePort)
        m_device->ClosePort();
    if (CurrentDoorlock == m_device.get())
        CurrentDoorlock = nullptr;
    m_device.reset();
    m_encoder.reset();
}
