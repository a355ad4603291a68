#include "doorlock/CardEncoderUnit.h"

#include "doorlock/CardEncoderAbi.h"
#include "platform/CodePageUnit.h"
#include "platform/FileNameUnit.h"
#include "platform/FileUnit.h"
#include "platform/SharedLibraryUnit.h"
#include "platform/SysUtilsUnit.h"
#include "server/LogFileUnit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>

namespace {

constexpr int32_t CardSize = 256;
constexpr int32_t SimPortCount = 6;
constexpr int32_t SimHandleBase = 1000;

// The vendor library: the five functions called straight through.
class TVendorCardEncoder : public TCardEncoder {
public:
    explicit TVendorCardEncoder(const std::string& libraryPath) : m_library(libraryPath) {
        // The argument bytes are what a stdcall name carries in its decoration.
        m_autoInit = Resolve<TAutoInitFunc>("auto_init", 8);
        m_dvBeep = Resolve<TDvBeepFunc>("dv_beep", 8);
        m_icExit = Resolve<TIcExitFunc>("ic_exit", 4);
        m_srd = Resolve<TSrd24c02Func>("srd_24c02", 16);
        m_swr = Resolve<TSwr24c02Func>("swr_24c02", 16);
    }

    int32_t auto_init(int32_t port, int32_t baud) override { return m_autoInit(port, baud); }
    int32_t dv_beep(int32_t handle, int32_t duration) override { return m_dvBeep(handle, duration); }
    int32_t ic_exit(int32_t handle) override { return m_icExit(handle); }
    int32_t srd_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) override {
        return m_srd(handle, offset, length, buffer);
    }
    int32_t swr_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) override {
        return m_swr(handle, offset, length, buffer);
    }

    // The names as found, so that the log shows which exports a library really has.
    std::string Description() const override {
        return Gbk("发卡器: ") + m_library.Path() + " (" + m_names + ")";
    }

private:
    template <typename TFunc> TFunc Resolve(const char* name, int argumentBytes) {
        std::string found = name;
        void* address = m_library.Symbol(name);
#ifdef _WIN32
        // A stdcall library built without a .def file exports decorated names: "_auto_init@8" from
        // Microsoft's tools, "auto_init@8" from MinGW's.
        for (const char* prefix : {"_", ""}) {
            if (address != nullptr)
                break;
            found = prefix + std::string(name) + "@" + std::to_string(argumentBytes);
            address = m_library.Symbol(found.c_str());
        }
#else
        (void)argumentBytes;
#endif
        if (address == nullptr)
            throw Exception(FormatText("The library has no function %s", {name}));
        m_names += (m_names.empty() ? "" : ", ") + found;
        return reinterpret_cast<TFunc>(address);
    }

    TSharedLibrary m_library;
    std::string m_names;
    TAutoInitFunc m_autoInit = nullptr;
    TDvBeepFunc m_dvBeep = nullptr;
    TIcExitFunc m_icExit = nullptr;
    TSrd24c02Func m_srd = nullptr;
    TSwr24c02Func m_swr = nullptr;
};

// Stands in for a configured library that could not be loaded: no port opens, so every device operation
// fails and says so in the log, instead of the simulator quietly writing cards nobody can use.
class TUnavailableCardEncoder : public TCardEncoder {
public:
    explicit TUnavailableCardEncoder(std::string libraryPath) : m_libraryPath(std::move(libraryPath)) {}

    int32_t auto_init(int32_t, int32_t) override { return 0; }
    int32_t dv_beep(int32_t, int32_t) override { return 0; }
    int32_t ic_exit(int32_t) override { return 0; }
    int32_t srd_24c02(int32_t, int32_t, int32_t, uint8_t*) override { return CardStatusNotOpen; }
    int32_t swr_24c02(int32_t, int32_t, int32_t, uint8_t*) override { return CardStatusNotOpen; }

    std::string Description() const override { return Gbk("发卡器: ") + m_libraryPath; }

private:
    std::string m_libraryPath;
};

// The card is a 256-byte file; every call opens it afresh, so a test or an operator may swap cards by
// replacing the file between calls.
class TSimulatedCardEncoder : public TCardEncoder {
public:
    explicit TSimulatedCardEncoder(std::string cardFile) : m_cardFile(std::move(cardFile)) {}

    int32_t auto_init(int32_t port, int32_t baud) override {
        (void)baud;
        if (port < 0 || port >= SimPortCount)
            return 0;
        std::lock_guard<std::mutex> guard(m_lock);
        m_portOpen[static_cast<size_t>(port)] = true;
        return SimHandleBase + port;
    }

    int32_t dv_beep(int32_t, int32_t) override { return 0; }

    int32_t ic_exit(int32_t handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (IsOpen(handle))
            m_portOpen[static_cast<size_t>(handle - SimHandleBase)] = false;
        return 0;
    }

    int32_t srd_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (int32_t status = Check(handle, offset, length, buffer); status != 0)
            return status;
        const std::optional<std::string> card = ReadCard();
        if (!card)
            return SimStatusNoCard;
        std::copy_n(card->begin() + offset, length, buffer);
        return 0;
    }

    int32_t swr_24c02(int32_t handle, int32_t offset, int32_t length, uint8_t* buffer) override {
        std::lock_guard<std::mutex> guard(m_lock);
        if (int32_t status = Check(handle, offset, length, buffer); status != 0)
            return status;
        if (!ReadCard())
            return SimStatusNoCard;
        // Written in place: the rest of the card memory keeps its bytes.
        return WriteRegularFileAt(m_cardFile, static_cast<uint64_t>(offset), buffer,
                                  static_cast<size_t>(length))
                   ? 0
                   : SimStatusWriteError;
    }

    std::string Description() const override { return Gbk("发卡器: 模拟发卡器 ") + m_cardFile; }

private:
    // The card's 256 bytes; none when the file is missing, holds another count of bytes, or is a link or
    // anything but a regular file (a front-desk account may write the folder).
    std::optional<std::string> ReadCard() const {
        try {
            std::string card = ReadRegularFile(m_cardFile, CardSize);
            if (card.size() == CardSize)
                return card;
        } catch (const Exception&) {
        }
        return std::nullopt;
    }

    bool IsOpen(int32_t handle) const {
        return handle >= SimHandleBase && handle < SimHandleBase + SimPortCount &&
               m_portOpen[static_cast<size_t>(handle - SimHandleBase)];
    }

    int32_t Check(int32_t handle, int32_t offset, int32_t length, const uint8_t* buffer) const {
        if (!IsOpen(handle))
            return CardStatusNotOpen;
        if (offset < 0 || length < 0 || offset > CardSize - length || (length > 0 && buffer == nullptr))
            return SimStatusOutOfRange;
        return 0;
    }

    std::string m_cardFile;
    std::mutex m_lock;
    std::array<bool, SimPortCount> m_portOpen{};
};

} // namespace

std::unique_ptr<TCardEncoder> LoadVendorCardEncoder(const std::string& libraryPath) {
    return std::make_unique<TVendorCardEncoder>(libraryPath);
}

std::unique_ptr<TCardEncoder> CreateSimulatedCardEncoder(const std::string& cardFile) {
    return std::make_unique<TSimulatedCardEncoder>(cardFile);
}

std::unique_ptr<TCardEncoder> CreateCardEncoder(const std::string& libraryPath, const std::string& programDir,
                                                const std::string& executableDir) {
    if (libraryPath.empty())
        return CreateSimulatedCardEncoder(JoinFileName(programDir, "SimCard.bin"));
    std::string refusal;
    const std::optional<std::string> loadPath =
        LibraryLoadPath(libraryPath, executableDir, programDir, &refusal);
    if (!loadPath) {
        WriteLog(
            Gbk("发卡器动态库加载失败: ") + libraryPath + ": " +
            (refusal.empty() ? std::string(EncoderLibraryRefusal) : EncoderLibraryOwnerRefusal + refusal));
        return std::make_unique<TUnavailableCardEncoder>(libraryPath);
    }
    try {
        return LoadVendorCardEncoder(*loadPath);
    } catch (const Exception& e) {
        WriteLog(Gbk("发卡器动态库加载失败: ") + libraryPath + ": " + e.what());
        return std::make_unique<TUnavailableCardEncoder>(libraryPath);
    }
}
