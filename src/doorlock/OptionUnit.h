#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The encoder's own settings in section DoorlockOption of Option.ini.
class TOption {
public:
    explicit TOption(std::string fileName);

    std::string FileName;
    // Shown and saved by the options dialog; issues use TSysOption::DelayMinutes (same key, default 0).
    int32_t DelayMinutes = 1;
    std::string PortName = "COM1";
    // Path of the vendor encoder library; empty: the built-in simulated encoder (card file SimCard.bin).
    std::string EncoderLibrary;
    // The record store: empty gives Client.db in the program directory; a postgresql:// URI or libpq
    // keyword=value text gives a PostgreSQL server that several front desks share.
    std::string Database;

    void LoadOption();
    // Writes PortName and DelayMinutes; raises Exception "Unable to write to %s".
    void SaveOption();

    // "COM1" .. "COM6" give 0 .. 5 (exact, case-sensitive); any other name gives -1, which no encoder opens.
    int32_t PortIndex() const;
};

extern TOption* Option;
