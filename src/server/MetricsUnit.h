#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Metrics in the Prometheus text exposition format 0.0.4, written by hand: the Windows build takes no new
// library for them. Components own their counters (relaxed atomics, so counting on the request path costs
// no lock); the host assembles a registry of writers that read them, and the gauges, at scrape time.

inline constexpr const char* MetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

using TMetricLabels = std::vector<std::pair<std::string, std::string>>;

// A label value as the format carries it: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);
// A sample value: integers without a fraction, +Inf, -Inf and NaN by name.
std::string FormatMetricValue(double value);

// One scrape's text.
class TMetricsText {
public:
    // The HELP and TYPE lines of a family (type: counter, gauge, histogram, untyped); once per family.
    void Family(std::string_view name, std::string_view help, std::string_view type);
    // One sample: name{labels} value.
    void Sample(std::string_view name, const TMetricLabels& labels, double value);
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

// A counter family whose label values come from requests: at most cap distinct sets of values, then every
// further set counts as one whose every value is "other", so that no client can grow it. Adding to a set
// seen before takes no lock.
class TCounterFamily {
public:
    TCounterFamily(std::string name, std::string help, std::vector<std::string> labelNames, size_t cap = 64);
    TCounterFamily(const TCounterFamily&) = delete;
    TCounterFamily& operator=(const TCounterFamily&) = delete;

    // values: one per label name, in their order.
    void Add(std::initializer_list<std::string_view> values, uint64_t count = 1);
    // The count of a set of values (0 when it was never added); for the tests and the readiness lines.
    uint64_t Value(std::initializer_list<std::string_view> values) const;
    // The family with every set added so far (a family with no label names always has its one sample).
    void Write(TMetricsText& text) const;
    const std::string& Name() const { return m_name; }

private:
    struct TSlot {
        std::vector<std::string> Values;
        std::atomic<uint64_t> Count{0};
    };
    TSlot* Find(std::initializer_list<std::string_view> values, size_t used) const;
    static bool Matches(const TSlot& slot, std::initializer_list<std::string_view> values);

    const std::string m_name;
    const std::string m_help;
    const std::vector<std::string> m_labelNames;
    const size_t m_cap;
    std::unique_ptr<TSlot[]> m_slots; // m_cap of them, then the "other" slot
    std::atomic<size_t> m_used{0};    // slots filled, published with release
    std::mutex m_addLock;             // only to fill a new slot
};

// A histogram of durations in seconds, with fixed bucket bounds (ascending).
class THistogram {
public:
    THistogram(std::string name, std::string help, std::vector<double> bounds);
    THistogram(const THistogram&) = delete;
    THistogram& operator=(const THistogram&) = delete;

    void Observe(std::chrono::nanoseconds duration);
    // name_bucket (cumulative, with le="+Inf"), name_sum, name_count; with these labels besides le.
    void Write(TMetricsText& text, const TMetricLabels& labels = {}, bool withFamily = true) const;
    uint64_t Count() const;

private:
    const std::string m_name;
    const std::string m_help;
    const std::vector<double> m_bounds;
    std::unique_ptr<std::atomic<uint64_t>[]> m_buckets; // per bound, then beyond the last; not cumulative
    std::atomic<uint64_t> m_sumNanoseconds{0};
};

// Answer times from a millisecond to ten seconds.
std::vector<double> DurationBuckets();

// What a scrape writes: each writer adds its families, in the order they were added.
class TMetricsRegistry {
public:
    using TWriter = std::function<void(TMetricsText&)>;
    void Add(TWriter writer);
    std::string Render() const;

private:
    std::vector<TWriter> m_writers;
};
