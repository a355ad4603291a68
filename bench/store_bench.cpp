// The record store's cost per card issue. Every write is a synced commit, so the figures depend on the disk
// that holds the database: STORE_BENCH_DIR chooses the directory (default: the system's temporary one).
#include "platform/DateTimeUnit.h"
#include "records/DoorlockRecordStoreUnit.h"

#include <benchmark/benchmark.h>
#include <soci/soci.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace {

class TBenchDirectory {
public:
    TBenchDirectory() {
        const char* chosen = std::getenv("STORE_BENCH_DIR");
        const std::filesystem::path base =
            chosen != nullptr ? chosen : std::filesystem::temp_directory_path();
        m_path = base / ("store-bench-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(m_path);
    }
    ~TBenchDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Building 0, floor and room as four digits, like the handler's room keys.
std::string RoomKey(int room) {
    char key[32];
    std::snprintf(key, sizeof key, "0%04d", room % 10000);
    return key;
}

// A hotel of the given number of rooms, written in one transaction so that setting up takes one sync.
void FillRooms(const std::string& path, int rooms) {
    soci::session session("sqlite3", "db=" + path);
    soci::transaction transaction(session);
    std::string key;
    std::string time = "2024-01-01 12:00:00";
    soci::statement insert = (session.prepare << "insert into T_Room(RoomNo, LastCheckInTime) values(:k, :t)",
                              soci::use(key, "k"), soci::use(time, "t"));
    for (int room = 0; room < rooms; ++room) {
        key = RoomKey(room);
        insert.execute(true);
    }
    transaction.commit();
}

// One card issue's record, as the request handler writes it.
void BM_AddIssueCardRecord(benchmark::State& state) {
    TBenchDirectory directory;
    TDoorlockRecordStore store("sqlite3", directory.File("Client.db"));
    store.OpenDatabase();
    const TDateTime now = Now();
    int serial = 0;
    for (auto _ : state) {
        ++serial;
        store.AddIssueCardRecord({.RegisterId = "REG" + std::to_string(serial),
                                  .CardNo = std::to_string(305419896 + serial),
                                  .RoomNo = RoomKey(serial % 1000),
                                  .LastCheckInTime = now,
                                  .CheckInTime = IncMinutes(now, -10),
                                  .CheckOutTime = IncMinutes(now, 2880),
                                  .IsCopy = serial % 4 == 0,
                                  .GuestName = "Guest",
                                  .OpratingTime = now,
                                  .Source = "127.0.0.1:50000"});
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddIssueCardRecord)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A copy card's look-up in a hotel of state.range(0) rooms.
void BM_GetLastCheckInTime(benchmark::State& state) {
    TBenchDirectory directory;
    TDoorlockRecordStore store("sqlite3", directory.File("Client.db"));
    store.OpenDatabase();
    const int rooms = static_cast<int>(state.range(0));
    FillRooms(directory.File("Client.db"), rooms);
    int room = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.GetLastCheckInTime(RoomKey(room)));
        room = (room + 7) % rooms;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetLastCheckInTime)->Arg(100)->Arg(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A new card's start for an existing room of state.range(0) rooms (an update, synced).
void BM_SetLastCheckInTime(benchmark::State& state) {
    TBenchDirectory directory;
    TDoorlockRecordStore store("sqlite3", directory.File("Client.db"));
    store.OpenDatabase();
    const TDateTime now = Now();
    const int rooms = static_cast<int>(state.range(0));
    FillRooms(directory.File("Client.db"), rooms);
    int room = 0;
    int minutes = 0;
    for (auto _ : state) {
        // A new value each time: SQLite skips writing a row that does not change.
        store.SetLastCheckInTime(RoomKey(room), IncMinutes(now, ++minutes));
        room = (room + 7) % rooms;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetLastCheckInTime)->Arg(100)->Arg(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// For comparison: the same look-up parsed afresh for every call, as a one-off SOCI statement.
void BM_UnpreparedLookup(benchmark::State& state) {
    TBenchDirectory directory;
    {
        TDoorlockRecordStore store("sqlite3", directory.File("Client.db"));
        store.OpenDatabase();
    }
    FillRooms(directory.File("Client.db"), 100);
    soci::session session("sqlite3", "db=" + directory.File("Client.db"));
    int room = 0;
    for (auto _ : state) {
        std::string key = RoomKey(room);
        std::string text;
        soci::indicator indicator = soci::i_null;
        session << "select LastCheckInTime from T_Room where RoomNo=:RoomNo", soci::into(text, indicator),
            soci::use(key, "RoomNo");
        benchmark::DoNotOptimize(text);
        room = (room + 7) % 100;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnpreparedLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
