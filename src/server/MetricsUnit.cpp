#include "server/MetricsUnit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

std::string EscapeLabelValue(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '"':
            escaped += "\\\"";
            break;
        case '\n':
            escaped += "\\n";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string FormatMetricValue(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", value);
    else {
        // The shortest of the usual precisions that reads back as the same value: 0.0025, not
        // 0.0025000000000000001.
        std::snprintf(text, sizeof text, "%.15g", value);
        if (std::strtod(text, nullptr) != value)
            std::snprintf(text, sizeof text, "%.17g", value);
    }
    return text;
}

void TMetricsText::Family(std::string_view name, std::string_view help, std::string_view type) {
    m_text += "# HELP ";
    m_text += name;
    m_text += ' ';
    // HELP text escapes backslash and line feed only.
    for (char c : help) {
        if (c == '\\')
            m_text += "\\\\";
        else if (c == '\n')
            m_text += "\\n";
        else
            m_text += c;
    }
    m_text += "\n# TYPE ";
    m_text += name;
    m_text += ' ';
    m_text += type;
    m_text += '\n';
}

void TMetricsText::Sample(std::string_view name, const TMetricLabels& labels, double value) {
    m_text += name;
    if (!labels.empty()) {
        m_text += '{';
        bool first = true;
        for (const auto& [label, labelValue] : labels) {
            if (!first)
                m_text += ',';
            first = false;
            m_text += label;
            m_text += "=\"";
            m_text += EscapeLabelValue(labelValue);
            m_text += '"';
        }
        m_text += '}';
    }
    m_text += ' ';
    m_text += FormatMetricValue(value);
    m_text += '\n';
}

TCounterFamily::TCounterFamily(std::string name, std::string help, std::vector<std::string> labelNames,
                               size_t cap)
    : m_name(std::move(name)), m_help(std::move(help)), m_labelNames(std::move(labelNames)),
      m_cap(m_labelNames.empty() ? 1 : cap), m_slots(std::make_unique<TSlot[]>(m_cap + 1)) {
    m_slots[m_cap].Values.assign(m_labelNames.size(), "other");
    if (m_labelNames.empty())
        m_used = 1; // the one sample, always there
}

bool TCounterFamily::Matches(const TSlot& slot, std::initializer_list<std::string_view> values) {
    if (slot.Values.size() != values.size())
        return false;
    size_t i = 0;
    for (std::string_view value : values) {
        if (slot.Values[i++] != value)
            return false;
    }
    return true;
}

TCounterFamily::TSlot* TCounterFamily::Find(std::initializer_list<std::string_view> values,
                                            size_t used) const {
    for (size_t i = 0; i < used; ++i) {
        if (Matches(m_slots[i], values))
            return &m_slots[i];
    }
    return nullptr;
}

void TCounterFamily::Add(std::initializer_list<std::string_view> values, uint64_t count) {
    // A slot's values are written before m_used publishes it, and never change after.
    TSlot* slot = Find(values, m_used.load(std::memory_order_acquire));
    if (slot == nullptr) {
        std::lock_guard guard(m_addLock);
        const size_t used = m_used.load(std::memory_order_relaxed);
        slot = Find(values, used);
        if (slot == nullptr) {
            if (used < m_cap && values.size() == m_labelNames.size()) {
                slot = &m_slots[used];
                slot->Values.assign(values.begin(), values.end());
                m_used.store(used + 1, std::memory_order_release);
            } else {
                slot = &m_slots[m_cap];
            }
        }
    }
    slot->Count.fetch_add(count, std::memory_order_relaxed);
}

uint64_t TCounterFamily::Value(std::initializer_list<std::string_view> values) const {
    if (const TSlot* slot = Find(values, m_used.load(std::memory_order_acquire)))
        return slot->Count.load(std::memory_order_relaxed);
    if (Matches(m_slots[m_cap], values))
        return m_slots[m_cap].Count.load(std::memory_order_relaxed);
    return 0;
}

void TCounterFamily::Write(TMetricsText& text) const {
    text.Family(m_name, m_help, "counter");
    const size_t used = m_used.load(std::memory_order_acquire);
    auto write = [&](const TSlot& slot) {
        TMetricLabels labels;
        for (size_t i = 0; i < m_labelNames.size(); ++i)
            labels.emplace_back(m_labelNames[i], slot.Values[i]);
        text.Sample(m_name, labels, static_cast<double>(slot.Count.load(std::memory_order_relaxed)));
    };
    for (size_t i = 0; i < used; ++i)
        write(m_slots[i]);
    if (m_slots[m_cap].Count.load(std::memory_order_relaxed) > 0)
        write(m_slots[m_cap]);
}

THistogram::THistogram(std::string name, std::string help, std::vector<double> bounds)
    : m_name(std::move(name)), m_help(std::move(help)), m_bounds(std::move(bounds)),
      m_buckets(std::make_unique<std::atomic<uint64_t>[]>(m_bounds.size() + 1)) {}

void THistogram::Observe(std::chrono::nanoseconds duration) {
    const double seconds = std::chrono::duration<double>(duration).count();
    size_t bucket = 0;
    while (bucket < m_bounds.size() && seconds > m_bounds[bucket])
        ++bucket;
    m_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    m_sumNanoseconds.fetch_add(static_cast<uint64_t>(std::max<int64_t>(duration.count(), 0)),
                               std::memory_order_relaxed);
}

uint64_t THistogram::Count() const {
    uint64_t count = 0;
    for (size_t i = 0; i <= m_bounds.size(); ++i)
        count += m_buckets[i].load(std::memory_order_relaxed);
    return count;
}

void THistogram::Write(TMetricsText& text, const TMetricLabels& labels, bool withFamily) const {
    if (withFamily)
        text.Family(m_name, m_help, "histogram");
    // Read once, so that the +Inf bucket and _count agree even while requests are counted.
    uint64_t cumulative = 0;
    const std::string bucketName = m_name + "_bucket";
    for (size_t i = 0; i <= m_bounds.size(); ++i) {
        cumulative += m_buckets[i].load(std::memory_order_relaxed);
        TMetricLabels withBound = labels;
        withBound.emplace_back("le", i < m_bounds.size() ? FormatMetricValue(m_bounds[i]) : "+Inf");
        text.Sample(bucketName, withBound, static_cast<double>(cumulative));
    }
    text.Sample(m_name + "_sum", labels,
                static_cast<double>(m_sumNanoseconds.load(std::memory_order_relaxed)) / 1e9);
    text.Sample(m_name + "_count", labels, static_cast<double>(cumulative));
}

std::vector<double> DurationBuckets() {
    return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
}

void TMetricsRegistry::Add(TWriter writer) {
    m_writers.push_back(std::move(writer));
}

std::string TMetricsRegistry::Render() const {
    TMetricsText text;
    for (const TWriter& writer : m_writers)
        writer(text);
    return text.Text();
}
