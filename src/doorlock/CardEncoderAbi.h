#pragma once

// The C interface of the vendor's card-encoder library, as the device loads it at run time: five functions
// resolved by name. An adapter around another encoder's library implements exactly these, exported
// undecorated, and is named in [DoorlockOption] EncoderLibrary of Option.ini.
//
// auto_init  opens the encoder on serial port `port` (0 = COM1) at `baud`; a handle greater than 0 on
//            success, 0 or less when the port could not be opened.
// dv_beep    sounds the beeper once; the device passes duration 10 and ignores the result.
// ic_exit    releases the connection of the handle; the result is ignored.
// srd_24c02  reads `length` bytes at `offset` of the card's 24C02 memory into `buffer`.
// swr_24c02  writes `length` bytes from `buffer` at `offset` of the card's memory.
// The two card calls return a status of which only the low 16 bits count: 0 is success, any other value is
// reported (as a signed 16-bit number) in the log.

#include <stdint.h>

// The vendor's Windows DLL uses the stdcall convention; elsewhere there is only the C convention.
#if defined(_WIN32)
#define CARDENC_CALL __stdcall
#else
#define CARDENC_CALL
#endif

// Define CARDENC_BUILD_LIBRARY when building an adapter library so that the five functions are exported.
#if defined(CARDENC_BUILD_LIBRARY)
#if defined(_WIN32)
#define CARDENC_API __declspec(dllexport)
#else
#define CARDENC_API __attribute__((visibility("default")))
#endif
#else
#define CARDENC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t(CARDENC_CALL* TAutoInitFunc)(int32_t port, int32_t baud);
typedef int32_t(CARDENC_CALL* TDvBeepFunc)(int32_t icdev, int32_t duration);
typedef int32_t(CARDENC_CALL* TIcExitFunc)(int32_t icdev);
typedef int32_t(CARDENC_CALL* TSrd24c02Func)(int32_t icdev, int32_t offset, int32_t length,
                                             unsigned char* buffer);
typedef int32_t(CARDENC_CALL* TSwr24c02Func)(int32_t icdev, int32_t offset, int32_t length,
                                             unsigned char* buffer);

#if defined(CARDENC_BUILD_LIBRARY)
CARDENC_API int32_t CARDENC_CALL auto_init(int32_t port, int32_t baud);
CARDENC_API int32_t CARDENC_CALL dv_beep(int32_t icdev, int32_t duration);
CARDENC_API int32_t CARDENC_CALL ic_exit(int32_t icdev);
CARDENC_API int32_t CARDENC_CALL srd_24c02(int32_t icdev, int32_t offset, int32_t length,
                                           unsigned char* buffer);
CARDENC_API int32_t CARDENC_CALL swr_24c02(int32_t icdev, int32_t offset, int32_t length,
                                           unsigned char* buffer);
#endif

#ifdef __cplusplus
}
#endif
