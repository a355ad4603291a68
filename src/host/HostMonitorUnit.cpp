#include "host/HostMonitorUnit.h"

#include "doorlock/BaseDoorlockUnit.h"
#include "platform/CodePageUnit.h"
#include "platform/DateTimeUnit.h"
#include "platform/FileNameUnit.h"
#include "records/DoorlockRecordStoreUnit.h"
#include "server/LogFileUnit.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>

namespace {

// How long a check waits for the device or the store that a card request is using.
constexpr auto CheckWait = std::chrono::milliseconds(1000);
// A card operation takes seconds at most; one that has held the device this long is stuck in the library.
constexpr auto DeviceStuckAfter = std::chrono::milliseconds(30000);
// A listener whose I/O thread has not run a probe within this, or whose workers have taken no queued request
// within the second, is not live.
constexpr auto IoBound = std::chrono::seconds(10);
constexpr auto WorkerBound = std::chrono::seconds(60);

} // namespace

const char* InterfaceLabel(TInterfaceKind kind) {
    switch (kind) {
    case TInterfaceKind::Doorlock:
        return "doorlock";
    case TInterfaceKind::Police:
        return "police";
    case TInterfaceKind::Member:
        return "member";
    default:
        return "none";
    }
}

THostMonitor::THostMonitor(THostMonitorParts parts) : m_parts(std::move(parts)) {}

bool THostMonitor::Live() {
    return m_parts.Server != nullptr && m_parts.Server->Live(IoBound, WorkerBound);
}

std::vector<TReadinessCheck> THostMonitor::Readiness() {
    std::vector<TReadinessCheck> checks;
    {
        const bool active = m_parts.Server != nullptr && m_parts.Server->Active();
        checks.push_back({"listener", active,
                          std::string("listener ") + InterfaceLabel(m_parts.Kind) + " " + m_parts.ListenText +
                              (active ? ": ok" : ": stopped")});
    }
    if (m_parts.UsesDevice) {
        TBaseDoorlock* device = m_parts.Services.Doorlock;
        std::string detail = "no encoder";
        const bool ready = device != nullptr && device->CheckReady(CheckWait, DeviceStuckAfter, detail);
        checks.push_back({"encoder", ready,
                          ready ? "encoder: ok (" + GbkToUtf8(detail) + ")"
                                : "encoder: not ready (" + GbkToUtf8(detail) + ")"});
    }
    if (TDoorlockRecordStore* store = m_parts.Services.RecordStore) {
        const TDoorlockRecordStore::TState state = store->State(CheckWait);
        const size_t rows = state.Held + state.Spooled;
        TReadinessCheck check{"store", true, "store: ok"};
        if (!state.Open)
            check.Line = "store: busy: ok";
        else if (!*state.Open && state.Spools)
            check.Line = "store: spooling, " + std::to_string(rows) + " rows: ok";
        else if (!*state.Open)
            // Rows the server does not take then wait in memory only: a crash would lose them.
            check = {"store", false,
                     "store: unusable: not open, " + std::to_string(rows) + " rows held in memory"};
        else if (rows > 0)
            check.Line = "store: ok, " + std::to_string(rows) + " rows waiting";
        checks.push_back(check);
    }
    {
        std::error_code error;
        const std::filesystem::space_info space =
            std::filesystem::space(FileSystemPath(m_parts.LogDirectory), error);
        const unsigned long long freeMB = error ? 0 : space.available / (1024 * 1024);
        TReadinessCheck check{"log", true, ""};
        if (error) {
            check = {"log", false, "log: free space unknown: " + error.message()};
        } else if (m_parts.LogMinFreeMB > 0) {
            check.Ok = freeMB >= static_cast<unsigned long long>(m_parts.LogMinFreeMB);
            check.Line = "log: " + std::to_string(freeMB) + " MB free, floor " +
                         std::to_string(m_parts.LogMinFreeMB) +
                         " MB: " + (check.Ok ? "ok" : "below the floor");
        } else {
            check.Line = "log: " + std::to_string(freeMB) + " MB free, no floor: ok";
        }
        checks.push_back(check);
    }
    if (std::shared_ptr<const TTlsContext> tls = m_parts.Tls ? m_parts.Tls() : nullptr) {
        const double days = tls->Certificate().NotAfter - Now();
        const bool valid = days > 0;
        checks.push_back(
            {"tls", valid,
             valid ? "tls: certificate expires in " + std::to_string(static_cast<long long>(days)) + " days"
                   : "tls: certificate expired"});
    }
    return checks;
}

std::string THostMonitor::Metrics() {
    TMetricsText text;
    text.Family("doorlock_build_info", "The host's version.", "gauge");
    text.Sample("doorlock_build_info", {{"version", DOORLOCK_VERSION}}, 1);
    if (m_parts.Stats)
        m_parts.Stats->Write(text);
    if (m_parts.Services.Doorlock != nullptr && m_parts.UsesDevice)
        m_parts.Services.Doorlock->WriteMetrics(text);
    if (TDoorlockRecordStore* store = m_parts.Services.RecordStore) {
        store->WriteMetrics(text);
        const TDoorlockRecordStore::TState state = store->State(CheckWait);
        text.Family("doorlock_store_rows_held", "Issue rows held in memory for the store.", "gauge");
        text.Sample("doorlock_store_rows_held", {}, static_cast<double>(state.Held));
        text.Family("doorlock_store_rows_spooled", "Issue rows waiting in the spool file for the store.",
                    "gauge");
        text.Sample("doorlock_store_rows_spooled", {}, static_cast<double>(state.Spooled));
    }
    if (m_parts.Log != nullptr) {
        text.Family("doorlock_log_texts_not_kept_total",
                    "Request texts logged as their length only, by reason (budget or low_space).", "counter");
        text.Sample("doorlock_log_texts_not_kept_total", {{"reason", "budget"}},
                    static_cast<double>(m_parts.Log->TextsOverBudget()));
        text.Sample("doorlock_log_texts_not_kept_total", {{"reason", "low_space"}},
                    static_cast<double>(m_parts.Log->TextsLowSpace()));
    }
    if (std::shared_ptr<const TTlsContext> tls = m_parts.Tls ? m_parts.Tls() : nullptr) {
        // NotAfter is local time; its distance from now, added to the system's unix time, needs no zone.
        const double nowUnix = static_cast<double>(std::time(nullptr));
        const TDateTime now = Now();
        auto unixTime = [&](TDateTime at) { return std::floor(nowUnix + (at - now) * 86400.0 + 0.5); };
        text.Family("doorlock_tls_certificate_expiry_timestamp_seconds",
                    "When each TLS certificate of the listener expires (unix time).", "gauge");
        text.Sample("doorlock_tls_certificate_expiry_timestamp_seconds",
                    {{"certificate", "host"}, {"subject", tls->Certificate().Subject}},
                    unixTime(tls->Certificate().NotAfter));
        for (const TTlsCertificateInfo& ca : tls->CACertificates())
            text.Sample("doorlock_tls_certificate_expiry_timestamp_seconds",
                        {{"certificate", "client_ca"}, {"subject", ca.Subject}}, unixTime(ca.NotAfter));
    }
    const std::vector<TReadinessCheck> checks = Readiness();
    bool ready = true;
    text.Family("doorlock_ready_check", "Each readiness check of /readyz: 1 ok, 0 not.", "gauge");
    for (const TReadinessCheck& check : checks) {
        ready = ready && check.Ok;
        text.Sample("doorlock_ready_check", {{"check", check.Name}}, check.Ok ? 1 : 0);
    }
    text.Family("doorlock_ready", "1 when a key could be issued now (every readiness check ok), else 0.",
                "gauge");
    text.Sample("doorlock_ready", {}, ready ? 1 : 0);
    text.Family("doorlock_live", "1 while the listener accepts and its workers move.", "gauge");
    text.Sample("doorlock_live", {}, Live() ? 1 : 0);
    return text.Text();
}

std::optional<THttpResponse> THostMonitor::Page(const std::string& path) {
    THttpResponse response;
    if (path == "/livez") {
        const bool live = Live();
        response.Status = live ? 200 : 503;
        response.Body = live ? "ok\n" : "not live\n";
        return response;
    }
    if (path == "/readyz") {
        bool ready = true;
        for (const TReadinessCheck& check : Readiness()) {
            ready = ready && check.Ok;
            response.Body += check.Line + "\n";
        }
        response.Status = ready ? 200 : 503;
        return response;
    }
    if (path == "/metrics") {
        response.ContentType = MetricsContentType;
        response.Body = Metrics();
        return response;
    }
    return std::nullopt;
}
