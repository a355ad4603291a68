#include "server/MetricsUnit.h"
#include "server/ServerStatsUnit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

TEST(MetricsTest, LabelValuesAndNumbersAsTheFormatWantsThem) {
    const std::pair<const char*, const char*> labels[] = {
        {"plain", "plain"},
        {"a\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n"},
        {"房间", "房间"}, // UTF-8 passes as it is
    };
    for (const auto& [value, escaped] : labels)
        EXPECT_EQ(EscapeLabelValue(value), escaped) << value;
    EXPECT_EQ(FormatMetricValue(3), "3");
    EXPECT_EQ(FormatMetricValue(0.0025), "0.0025");
    EXPECT_EQ(FormatMetricValue(1e300 * 1e300), "+Inf");
    EXPECT_EQ(FormatMetricValue(-1e300 * 1e300), "-Inf");
    EXPECT_EQ(FormatMetricValue(0.0 / 0.0 * 0 + std::numeric_limits<double>::quiet_NaN()), "NaN");

    TMetricsText text;
    text.Family("doorlock_x_total", "Help with \\ and\nline.", "counter");
    text.Sample("doorlock_x_total", {{"a", "1"}, {"b", "q\""}}, 2);
    EXPECT_EQ(text.Text(), "# HELP doorlock_x_total Help with \\\\ and\\nline.\n"
                           "# TYPE doorlock_x_total counter\n"
                           "doorlock_x_total{a=\"1\",b=\"q\\\"\"} 2\n");
}

TEST(MetricsTest, HistogramBucketsAreCumulativeWithInfSumAndCount) {
    THistogram histogram("doorlock_t_seconds", "T.", {0.01, 0.1, 1});
    using std::chrono::milliseconds;
    for (auto ms : {5, 10, 50, 50, 700, 3000})
        histogram.Observe(milliseconds(ms));
    TMetricsText text;
    histogram.Write(text, {{"op", "x"}});
    EXPECT_EQ(text.Text(),
              "# HELP doorlock_t_seconds T.\n"
              "# TYPE doorlock_t_seconds histogram\n"
              "doorlock_t_seconds_bucket{op=\"x\",le=\"0.01\"} 2\n" // a bound holds its own value
              "doorlock_t_seconds_bucket{op=\"x\",le=\"0.1\"} 4\n"
              "doorlock_t_seconds_bucket{op=\"x\",le=\"1\"} 5\n"
              "doorlock_t_seconds_bucket{op=\"x\",le=\"+Inf\"} 6\n"
              "doorlock_t_seconds_sum{op=\"x\"} 3.815\n"
              "doorlock_t_seconds_count{op=\"x\"} 6\n");
}

TEST(MetricsTest, CounterFamilyKeepsItsCapAndCountsTheRestAsOther) {
    TCounterFamily family("doorlock_c_total", "C.", {"type", "result"}, 3);
    family.Add({"IssueCard", "200"});
    family.Add({"IssueCard", "200"}, 2);
    family.Add({"ReadCard", "500"});
    family.Add({"EraseCard", "200"});
    for (int i = 0; i < 100; ++i)
        family.Add({"T" + std::to_string(i), "200"});
    EXPECT_EQ(family.Value({"IssueCard", "200"}), 3u);
    EXPECT_EQ(family.Value({"other", "other"}), 100u);
    TMetricsText text;
    family.Write(text);
    const std::string& written = text.Text();
    EXPECT_NE(written.find("doorlock_c_total{type=\"EraseCard\",result=\"200\"} 1\n"), std::string::npos);
    EXPECT_NE(written.find("doorlock_c_total{type=\"other\",result=\"other\"} 100\n"), std::string::npos);
    EXPECT_EQ(written.find("T1"), std::string::npos);
    // Three sets and "other", after the two comment lines.
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 6);

    // A family without labels always has its one sample, 0 or not.
    TCounterFamily plain("doorlock_p_total", "P.", {});
    TMetricsText zero;
    plain.Write(zero);
    EXPECT_NE(zero.Text().find("\ndoorlock_p_total 0\n"), std::string::npos);
}

TEST(MetricsTest, ResultCodeIsReadFromTheAnswer) {
    const std::pair<const char*, const char*> cases[] = {
        {"<DoorResponse><RequestID>1</RequestID><ResultCode>200</ResultCode></DoorResponse>", "200"},
        {"<R><ResultCode>500</ResultCode><ResultCode>200</ResultCode></R>", "500"},
        {"<R><ResultMessage>x</ResultMessage></R>", ""},
        {"<R><ResultCode>500", ""},
    };
    for (const auto& [answer, code] : cases)
        EXPECT_EQ(ResponseResultCode(answer), code) << answer;
}
