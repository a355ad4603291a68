#pragma once

#include <memory>
#include <string>

class TBaseDoorlock;
class TCardEncoder;
class TDoorlockRecordStore;
class TIcDoorlock;
class TLogFile;
class TDoorlockOption;
class TSysOption;

// The process-wide objects, created in the start-up order (device options, log file, system options,
// record store) and released in the reverse order (record store, then log file); the options live on.
class THostProcess {
public:
    // executableDir: where the programs are, the only place the encoder library may come from on Windows.
    THostProcess(std::string programDir, std::string executableDir);
    ~THostProcess();
    THostProcess(const THostProcess&) = delete;
    THostProcess& operator=(const THostProcess&) = delete;

    const std::string& ProgramDir() const { return m_programDir; }

    // The encoder of Option.ini and the IC-card device on it, its port opened (the result is only logged);
    // optionDialog is what the device's ShowOption shows.
    TBaseDoorlock* OpenDevice(void (*optionDialog)() = nullptr);
    // Closes the record store and keeps the log from starting a line, for a process that ends without
    // waiting for its connection threads; nothing may use either afterwards.
    void CloseForExit();
    // ClosePort, then the device is released. closePort false: released without ClosePort (the window run
    // ended by an error).
    void CloseDevice(bool closePort = true);

private:
    std::string m_programDir;
    std::string m_executableDir;
    std::unique_ptr<TDoorlockOption> m_option;
    std::unique_ptr<TLogFile> m_logFile;
    std::unique_ptr<TSysOption> m_sysOption;
    std::unique_ptr<TDoorlockRecordStore> m_store;
    std::unique_ptr<TCardEncoder> m_encoder;
    std::unique_ptr<TIcDoorlock> m_device;
};
