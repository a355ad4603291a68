#pragma once

#include "records/RecordRetentionUnit.h"

#include <cstdint>
#include <string>

// The door-lock kind's settings in section DoorlockOption of Option.ini: the encoder's (port, library,
// record store) and those that steer card issuing. Read once at start-up; connection threads read the
// issuing ones without a lock, as nothing changes them while the host runs.
class TDoorlockOption {
public:
    explicit TDoorlockOption(std::string fileName);

    std::string FileName;
    std::string PortName = "COM1";
    // Path of the vendor encoder library; empty: the built-in simulated encoder (card file SimCard.bin).
    std::string EncoderLibrary;
    // The record store: empty gives Client.db in the program directory; a postgresql:// URI or libpq
    // keyword=value text gives a PostgreSQL server that several front desks share.
    std::string Database;

    // Card issuing (the request handler and the test dialog): the card start from the record store or the
    // clock instead of the request, and the room's recorded check-in time kept up to date.
    bool UseNativeDoorlockDb = false;
    // One issued-card row per issue attempt.
    bool SaveDoorlockRecord = false;
    // Minutes by which a card's start is moved back.
    int32_t DelayMinutes = 0;
    // Minutes added to the requested check-out.
    int32_t DelayMinutes2 = 0;
    // Issued-card rows older than this many days (by their operation time) are deleted or lose the guest's
    // name and registration number, as RecordRetention says; 0 or less keeps every row.
    int32_t RecordRetentionDays = 0;
    // "Delete" or "Anonymise" as written (RecordRetentionPolicyOf reads it; another value stops the start).
    std::string RecordRetention = "Delete";

    void LoadOption();
    // The options dialog's save: writes PortName and DelayMinutes; raises Exception "Unable to write to %s".
    void SaveOption();
    // The password change's save: writes DelayMinutes, DelayMinutes2, UseNativeDoorlockDb and
    // SaveDoorlockRecord in this order, with the values loaded at start-up; raises as SaveOption.
    void SaveIssueOption();

    // "COM1" .. "COM6" give 0 .. 5 (exact, case-sensitive); any other name gives -1, which no encoder opens.
    int32_t PortIndex() const;

private:
    // DelayMinutes as the options dialog writes it back (see LoadOption).
    int32_t m_dialogDelayMinutes = 1;
};

// RecordRetentionDays and RecordRetention of the options; raises as the records' own reading.
TRecordRetentionPolicy RecordRetentionPolicyOf(const TDoorlockOption& option);

// Whether the settings file names a server store (Database not empty), for a backup of the program directory.
bool OptionFileNamesServer(const std::string& optionFile);

extern TDoorlockOption* Option;
