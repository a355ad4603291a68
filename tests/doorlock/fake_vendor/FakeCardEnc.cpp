// A stand-in for the vendor's encoder library: it records every call as one line of text and answers with
// results the test sets, so the tests see exactly what the device passes through the C interface. Loaded by
// a host in another process, it also appends each line to the file named by FAKE_CARDENC_CALLS_FILE, takes
// its results from FAKE_CARDENC_RESULTS ("init read write beep", e.g. "-1 0 0 0" for a port that never
// opens), the call named by FAKE_CARDENC_HANG (after recording itself) never returns, like a device that
// stopped answering, a card write takes FAKE_CARDENC_WRITE_MS milliseconds, as a real encoder takes its
// time, and every card operation (read or write) FAKE_CARDENC_CALL_MS milliseconds more.
// On Windows a .def file names the exports (undecorated, or decorated as Microsoft's tools do), so nothing is
// marked for export here: an export the .def file does not name would hide what the loader has to find.
#if !defined(_WIN32)
#define CARDENC_BUILD_LIBRARY
#endif
#include "doorlock/CardEncoderAbi.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#if defined(_WIN32)
#define FAKE_API extern "C"
#else
#define FAKE_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::mutex lock;
std::string calls;
int32_t initResult = 77;
int32_t readStatus = 0;
int32_t writeStatus = 0;
int32_t beepResult = 0;
bool resultsTaken = false;

void TakeResults(const char* results) {
    int init = 0, read = 0, write = 0, beep = 0;
    if (std::sscanf(results, "%d %d %d %d", &init, &read, &write, &beep) == 4) {
        initResult = init;
        readStatus = read;
        writeStatus = write;
        beepResult = beep;
    }
}

// Under the lock, before every call's result. FAKE_CARDENC_RESULTS_FILE, read again at every call, lets a
// test change the results while the host runs (a device that fails, then is mended).
void TakeResultsFromEnvironment() {
    if (const char* file = std::getenv("FAKE_CARDENC_RESULTS_FILE")) {
        if (std::FILE* in = std::fopen(file, "rb")) {
            char results[128] = {};
            if (std::fgets(results, sizeof results, in) != nullptr)
                TakeResults(results);
            std::fclose(in);
        }
        return;
    }
    if (resultsTaken)
        return;
    resultsTaken = true;
    if (const char* results = std::getenv("FAKE_CARDENC_RESULTS"))
        TakeResults(results);
}

void Record(const std::string& line) {
    TakeResultsFromEnvironment();
    calls += line + "\n";
    if (const char* file = std::getenv("FAKE_CARDENC_CALLS_FILE")) {
        if (std::FILE* out = std::fopen(file, "ab")) {
            std::fputs((line + "\n").c_str(), out);
            std::fclose(out);
        }
    }
}

void HangIfAsked(const char* call) {
    const char* hang = std::getenv("FAKE_CARDENC_HANG");
    if (hang == nullptr || std::strcmp(hang, call) != 0)
        return;
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// Outside the lock, as the device takes its time for the card, not for the library.
void TakeCardTime() {
    if (const char* ms = std::getenv("FAKE_CARDENC_CALL_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms)));
}

std::string Bytes(const unsigned char* buffer, int32_t length) {
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (int32_t i = 0; i < length; ++i) {
        text += ' ';
        text += hex[buffer[i] >> 4];
        text += hex[buffer[i] & 0x0F];
    }
    return text;
}

} // namespace

extern "C" {

int32_t CARDENC_CALL auto_init(int32_t port, int32_t baud) {
    std::lock_guard<std::mutex> guard(lock);
    Record("auto_init " + std::to_string(port) + " " + std::to_string(baud));
    return initResult;
}

int32_t CARDENC_CALL dv_beep(int32_t icdev, int32_t duration) {
    std::lock_guard<std::mutex> guard(lock);
    Record("dv_beep " + std::to_string(icdev) + " " + std::to_string(duration));
    return beepResult;
}

int32_t CARDENC_CALL ic_exit(int32_t icdev) {
    std::lock_guard<std::mutex> guard(lock);
    Record("ic_exit " + std::to_string(icdev));
    return beepResult;
}

#if !defined(FAKE_CARDENC_WITHOUT_READ)
int32_t CARDENC_CALL srd_24c02(int32_t icdev, int32_t offset, int32_t length, unsigned char* buffer) {
    TakeCardTime();
    std::lock_guard<std::mutex> guard(lock);
    Record("srd_24c02 " + std::to_string(icdev) + " " + std::to_string(offset) + " " +
           std::to_string(length));
    static const unsigned char card[6] = {0x11, 0x08, 0x16, 0x12, 0x31, 0x14};
    if (readStatus == 0)
        std::memcpy(buffer, card, static_cast<size_t>(std::min<int32_t>(length, 6)));
    return readStatus;
}
#endif

int32_t CARDENC_CALL swr_24c02(int32_t icdev, int32_t offset, int32_t length, unsigned char* buffer) {
    {
        std::lock_guard<std::mutex> guard(lock);
        Record("swr_24c02 " + std::to_string(icdev) + " " + std::to_string(offset) + " " +
               std::to_string(length) + Bytes(buffer, length));
    }
    // Outside the lock, so that a call made meanwhile is still recorded.
    HangIfAsked("swr_24c02");
    if (const char* ms = std::getenv("FAKE_CARDENC_WRITE_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms)));
    TakeCardTime();
    std::lock_guard<std::mutex> guard(lock);
    return writeStatus;
}

} // extern "C"

// Test controls: the calls so far (and forget them), and the results of the next calls.
FAKE_API const char* fake_take_calls() {
    static std::string taken;
    std::lock_guard<std::mutex> guard(lock);
    taken = calls;
    calls.clear();
    return taken.c_str();
}

FAKE_API void fake_set_results(int32_t init, int32_t read, int32_t write) {
    std::lock_guard<std::mutex> guard(lock);
    resultsTaken = true;
    initResult = init;
    readStatus = read;
    writeStatus = write;
}
