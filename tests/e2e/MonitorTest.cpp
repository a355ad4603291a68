#include "DoorlockHostFixture.h"

#include "platform/SocketUnit.h"
#include "support/LoopbackClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace fs = std::filesystem;

namespace {

struct THttpAnswer {
    int status = 0; // 0: closed without an answer
    std::string head;
    std::string body;
};

// One request on its own connection (from a local address of its own, when given), read to the close.
THttpAnswer HttpExchange(int port, const std::string& bytes, const char* from = nullptr) {
    TLoopbackClient client(std::chrono::seconds(20));
    if (!client.Connect(port, "127.0.0.1", from))
        return {};
    client.Send(bytes);
    std::string got;
    client.ReadToClose(&got);
    THttpAnswer answer;
    const size_t end = got.find("\r\n\r\n");
    if (got.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        return answer;
    answer.status = std::atoi(got.c_str() + 9);
    answer.head = got.substr(0, end);
    answer.body = got.substr(end + 4);
    return answer;
}

THttpAnswer HttpGet(int port, const std::string& path, const char* from = nullptr) {
    return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: doorlock\r\n\r\n", from);
}

// The value of one sample of the metrics text; -1 when it is not there.
double MetricValue(const std::string& metrics, const std::string& sample) {
    const size_t at = metrics.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::atof(metrics.c_str() + at + sample.size() + 2);
}

std::string MonitorOptions(int monitorPort, const std::string& more = "") {
    return "MonitorAddress=127.0.0.1:" + std::to_string(monitorPort) + "\r\n" + more;
}

const char* const Promtool = "/usr/bin/promtool";
const char* const Prometheus = "/usr/bin/prometheus";

// promtool and prometheus are Linux programs: a Windows build under Wine finds them and cannot run them.
bool HasPrometheusTools() {
#ifdef _WIN32
    return false;
#else
    return fs::exists(Prometheus) && fs::exists(Promtool);
#endif
}

std::string ShellOutput(const std::string& command, int& status) {
    std::string output;
#ifdef _WIN32
    (void)command;
    status = -1;
#else
    if (std::FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t read;
        while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, read);
        status = pclose(pipe);
    } else {
        status = -1;
    }
#endif
    return output;
}

} // namespace

// The three pages, and counters that move with the card requests: answered ones by type and result, one of
// a type the kind does not serve by its reason only.
TEST_F(TDoorlockHostTest, MonitorServesItsPagesAndCountsTheRequests) {
    const int monitor = FreeTcpPort();
    StartHost("SaveDoorlockRecord=1\r\n", true, MonitorOptions(monitor));
    EXPECT_TRUE(m_host->WaitForOutput("http://127.0.0.1:" + std::to_string(monitor)));

    const THttpAnswer live = HttpGet(monitor, "/livez");
    EXPECT_EQ(live.status, 200);
    EXPECT_EQ(live.body, "ok\n");
    EXPECT_NE(live.head.find("Connection: close"), std::string::npos);
    const THttpAnswer ready = HttpGet(monitor, "/readyz");
    EXPECT_EQ(ready.status, 200) << ready.body;
    EXPECT_NE(ready.body.find("listener doorlock 0.0.0.0:" + std::to_string(m_port) + ": ok\n"),
              std::string::npos);
    EXPECT_NE(ready.body.find("encoder: ok ("), std::string::npos);
    EXPECT_NE(ready.body.find("store: ok"), std::string::npos);
    EXPECT_NE(ready.body.find("MB free, floor 100 MB: ok\n"), std::string::npos);

    int issued = 0;
    for (int i = 0; i < 5; ++i) {
        if (Send(IssueCardRequest()).find("<ResultCode>200</ResultCode>") != std::string::npos)
            ++issued;
    }
    EXPECT_EQ(issued, 5);
    EXPECT_EQ(Send("<r type=\"Bogus\"/>"), "");
    EXPECT_EQ(Send("not xml"), "");

    const THttpAnswer scraped = HttpGet(monitor, "/metrics");
    ASSERT_EQ(scraped.status, 200);
    EXPECT_NE(scraped.head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos);
    const std::string& metrics = scraped.body;
    EXPECT_EQ(
        MetricValue(metrics,
                    "doorlock_requests_total{interface=\"doorlock\",type=\"IssueCard\",result=\"200\"}"),
        5);
    EXPECT_EQ(
        MetricValue(metrics,
                    "doorlock_requests_unanswered_total{interface=\"doorlock\",reason=\"unknown_type\"}"),
        1);
    EXPECT_EQ(
        MetricValue(metrics, "doorlock_requests_unanswered_total{interface=\"doorlock\",reason=\"not_xml\"}"),
        1);
    EXPECT_EQ(metrics.find("Bogus"), std::string::npos);
    EXPECT_EQ(MetricValue(metrics, "doorlock_answer_seconds_count"), 5);
    EXPECT_EQ(MetricValue(metrics, "doorlock_encoder_operations_total{operation=\"issue\",result=\"ok\"}"),
              5);
    EXPECT_GT(MetricValue(metrics, "doorlock_store_operation_seconds_count"), 0);
    EXPECT_EQ(MetricValue(metrics, "doorlock_ready"), 1);
    EXPECT_EQ(MetricValue(metrics, "doorlock_ready_check{check=\"encoder\"}"), 1);
    EXPECT_EQ(MetricValue(metrics, "doorlock_build_info{version=\"" DOORLOCK_VERSION "\"}"), 1);

    EXPECT_EQ(HttpGet(monitor, "/nothing").status, 404);
    EXPECT_EQ(HttpExchange(monitor, "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n").status, 405);
    const THttpAnswer head = HttpExchange(monitor, "HEAD /livez HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");

    if (HasPrometheusTools()) {
        TSandbox scratch;
        const std::string file = scratch.File("metrics.txt");
        std::ofstream(file, std::ios::binary) << metrics;
        int status = 0;
        const std::string output =
            ShellOutput(std::string(Promtool) + " check metrics < '" + file + "'", status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(output, "");
    }
    EXPECT_EQ(StopHost(), 0);
}

// A client outside MonitorClients is closed unanswered; bad HTTP and a slow client are answered or closed
// alone, while card requests and the other monitor clients go on.
TEST_F(TDoorlockHostTest, MonitorRefusesAndClosesBadClientsAlone) {
    const int monitor = FreeTcpPort();
    StartHost("", true, MonitorOptions(monitor, "MonitorClients=127.0.0.2\r\n"));

    EXPECT_EQ(HttpGet(monitor, "/livez", "127.0.0.1").status, 0);
    EXPECT_EQ(HttpGet(monitor, "/livez", "127.0.0.2").status, 200);
    // The interface itself serves 127.0.0.1 as before.
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>"), std::string::npos);

    // A slow client holds its connection only until the monitor's deadline.
    TLoopbackClient slow(std::chrono::seconds(20));
    ASSERT_TRUE(slow.Connect(monitor, "127.0.0.1", "127.0.0.2"));
    ASSERT_TRUE(slow.Send("GET /metr"));

    EXPECT_EQ(HttpExchange(monitor, std::string("\x16\x03\x01\x00\x05hello", 10), "127.0.0.2").status, 400);
    EXPECT_EQ(HttpExchange(monitor, "<DoorRequest type=\"ReadCard\"/>\n", "127.0.0.2").status, 400);
    EXPECT_EQ(
        HttpExchange(monitor, "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "127.0.0.2")
            .status,
        431);
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>"), std::string::npos);
    EXPECT_EQ(HttpGet(monitor, "/readyz", "127.0.0.2").status, 200);

    std::string got;
    EXPECT_EQ(slow.ReadToClose(&got), TReadEnd::Closed);
    EXPECT_EQ(got, "");
    EXPECT_EQ(HttpGet(monitor, "/livez", "127.0.0.2").status, 200);
    EXPECT_EQ(StopHost(), 0);
}

// An encoder whose port does not open makes the host not ready; once it opens again, at the next look, the
// host is ready again without a restart.
TEST_F(TDoorlockHostTest, ReadinessFollowsTheEncoder) {
    const std::string results = m_sandbox.File("results.txt");
    std::ofstream(results) << "-1 0 0 0\n";
    SetEnvironment("FAKE_CARDENC_RESULTS_FILE", results.c_str());
    const int monitor = FreeTcpPort();
    StartHost("EncoderLibrary=" + std::string(FAKE_CARDENC_PATH) + "\r\n", false, MonitorOptions(monitor));
    SetEnvironment("FAKE_CARDENC_RESULTS_FILE", nullptr);

    const THttpAnswer down = HttpGet(monitor, "/readyz");
    EXPECT_EQ(down.status, 503);
    EXPECT_NE(down.body.find("encoder: not ready ("), std::string::npos) << down.body;
    EXPECT_NE(down.body.find("listener doorlock"), std::string::npos);
    const std::string metrics = HttpGet(monitor, "/metrics").body;
    EXPECT_EQ(MetricValue(metrics, "doorlock_ready"), 0);
    EXPECT_EQ(MetricValue(metrics, "doorlock_ready_check{check=\"encoder\"}"), 0);
    EXPECT_EQ(MetricValue(metrics, "doorlock_ready_check{check=\"store\"}"), 1);
    // Not ready is still live.
    EXPECT_EQ(HttpGet(monitor, "/livez").status, 200);

    std::ofstream(results, std::ios::trunc) << "77 0 0 0\n";
    const THttpAnswer up = HttpGet(monitor, "/readyz");
    EXPECT_EQ(up.status, 200) << up.body;
    EXPECT_NE(up.body.find("open)"), std::string::npos) << up.body;
    EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>200</ResultCode>"), std::string::npos);
    EXPECT_EQ(StopHost(), 0);
}

// A MonitorAddress that does not parse, or whose port is taken, stops the start with a message naming it.
TEST_F(TDoorlockHostTest, MonitorAddressThatDoesNotParseOrBindStopsTheStart) {
    const int taken = FreeTcpPort();
    TSocket blocker = ListenTcp(taken, 1, 0x7F000001);
    for (const std::string& address : {std::string("localhost:9886"), "127.0.0.1:" + std::to_string(taken)}) {
        SCOPED_TRACE(address);
        TSandbox dir;
        std::ofstream(dir.File("Option.ini"), std::ios::binary)
            << "[SysOption]\r\nDoorlockPortNo=" << FreeTcpPort() << "\r\nMonitorAddress=" << address
            << "\r\n";
        TRunningProgram host(BuildProgram("doorlock-host"), {"--headless", "--dir", dir.Path().string()});
        EXPECT_EQ(host.Wait(), 1);
        EXPECT_NE(host.Errors().find("MonitorAddress"), std::string::npos) << host.Errors();
        EXPECT_NE(host.Errors().find(address.substr(0, address.find(':'))), std::string::npos);
    }
}

// A real Prometheus scrapes the host once a second with the alert rules of the package loaded: the request
// counter it stores is the number of requests sent.
TEST_F(TDoorlockHostTest, PrometheusScrapesTheRequestCounter) {
    if (!HasPrometheusTools())
        GTEST_SKIP() << "prometheus and promtool are not installed (Debian package prometheus)";
    const std::string rules = DOORLOCK_SOURCE_DIR "/packaging/prometheus/doorlock-rules.yml";
    int status = 0;
    const std::string checked = ShellOutput(std::string(Promtool) + " check rules '" + rules + "'", status);
    ASSERT_EQ(status, 0) << checked;

    const int monitor = FreeTcpPort();
    StartHost("", true, MonitorOptions(monitor));
    const int sent = 7;
    for (int i = 0; i < sent; ++i)
        EXPECT_NE(Send("<r type=\"ReadCard\"/>").find("<ResultCode>"), std::string::npos);

    TSandbox data;
    const int web = FreeTcpPort();
    std::ofstream(data.File("prometheus.yml"))
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n  - '" << rules
        << "'\nscrape_configs:\n  - job_name: doorlock\n    static_configs:\n      - targets: ['127.0.0.1:"
        << monitor << "']\n";
    TRunningProgram prometheus(Prometheus, {"--config.file=" + data.File("prometheus.yml"),
                                            "--storage.tsdb.path=" + data.File("tsdb"),
                                            "--web.listen-address=127.0.0.1:" + std::to_string(web)});
    const std::string query =
        "GET /api/v1/query?query=doorlock_requests_total HTTP/1.1\r\nHost: p\r\nConnection: close\r\n\r\n";
    std::string last;
    const bool seen = WaitFor(
        [&] {
            last = HttpExchange(web, query).body;
            return std::regex_search(last, std::regex("\"type\":\"ReadCard\".*\"value\":\\[[0-9.]+,\"" +
                                                      std::to_string(sent) + "\"\\]"));
        },
        std::chrono::seconds(60));
    EXPECT_TRUE(seen) << last;
    // The rules loaded without error.
    const std::string loaded =
        HttpExchange(web, "GET /api/v1/rules HTTP/1.1\r\nHost: p\r\nConnection: close\r\n\r\n").body;
    EXPECT_NE(loaded.find("DoorlockNotReady"), std::string::npos) << loaded;
    EXPECT_EQ(loaded.find("\"health\":\"err\""), std::string::npos) << loaded;
    prometheus.Stop(SIGTERM);
    EXPECT_EQ(StopHost(), 0);
}
