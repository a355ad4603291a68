#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The five calls of the vendor's card-encoder library. Statuses are looked at in their low 16 bits only:
// 0 is success.
class TCardEncoder {
public:
    virtual ~TCardEncoder() = default;

    // A handle greater than 0 on success.
    virtual int32_t auto_init(int32_t port, int32_t baud) = 0;
    virtual int32_t dv_beep(int32_t handle, int32_t duration) = 0;
    virtual int32_t ic_exit(int32_t handle) = 0;
    virtual int32_t srd_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) = 0;
    virtual int32_t swr_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) = 0;

    // For the start-up log line: which encoder is in use.
    virtual std::string Description() const = 0;
};

// The vendor library, loaded at run time; its five functions are resolved by name. Raises Exception when
// the library cannot be loaded or lacks one of them.
std::unique_ptr<TCardEncoder> LoadVendorCardEncoder(const std::string& libraryPath);

// The built-in simulated encoder: ports 0-5 open, the card is the 256-byte file cardFile (no file: no card
// on the encoder; a blank card is 256 bytes 0xFF). A write changes only the bytes written. dv_beep and
// ic_exit always return 0.
std::unique_ptr<TCardEncoder> CreateSimulatedCardEncoder(const std::string& cardFile);

// The card calls' status for a connection that is not open (never opened, refused, or closed): the
// simulator's for such a handle, and the one the device logs ("发卡失败-1", "读卡失败-1", "销卡失败-1")
// when it does not call the library at all for want of an open connection.
constexpr int32_t CardStatusNotOpen = -1;

// The simulator's other statuses of srd_24c02 / swr_24c02; 0 is success.
constexpr int32_t SimStatusNoCard = -2;     // no card file, or one that does not hold exactly 256 bytes
constexpr int32_t SimStatusOutOfRange = -3; // offset or length outside the 256 bytes, or no buffer
constexpr int32_t SimStatusWriteError = -4; // the card file could not be written

// Why a library was not even tried: the log line is the load failure's, with this as the reason.
inline constexpr const char* EncoderLibraryRefusal =
    "EncoderLibrary refused: the encoder library is loaded only from where the programs are installed, "
    "never from the data directory";
// The same for a library (or a folder above it) that someone other than root or the host's user could have
// put there or replaced; followed by what is wrong.
inline constexpr const char* EncoderLibraryOwnerRefusal =
    "EncoderLibrary refused: the encoder library is loaded only from folders no other account may write: ";

// What the start-up uses: the vendor library when libraryPath is not empty, else the simulator with
// SimCard.bin in the program directory. libraryPath is code page text as Option.ini holds it (converted for
// the file system where its names are not code page text). A library that cannot be loaded, or lies where
// code is not loaded from (LibraryLoadPath: on Windows outside executableDir, elsewhere in the program
// directory when that is not executableDir), is logged and gives an encoder that opens no port, so the
// device reports failures instead of silently simulating.
std::unique_ptr<TCardEncoder> CreateCardEncoder(const std::string& libraryPath, const std::string& programDir,
                                                const std::string& executableDir);
