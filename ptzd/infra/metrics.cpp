#include "infra/metrics.h"

#include <charconv>

namespace ptzd {

void HeadMetrics::Exchange(double seconds, bool failed, int32_t kind, int32_t code) {
    std::lock_guard lock(mutex_);
    ++exchanges_;
    seconds_ += seconds;
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++buckets_[i];
    if (failed) ++failures_[{kind, code}];
}

HeadMetrics::Snapshot HeadMetrics::Take() const {
    std::lock_guard lock(mutex_);
    return {exchanges_, seconds_, buckets_, failures_};
}

std::string EscapeLabel(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

namespace {

// Shortest text that reads back as the same double ("0.0005", "1", "5").
std::string Number(double value, std::chars_format format = std::chars_format::general, int precision = -1) {
    char text[64];
    const auto r = precision < 0 ? std::to_chars(text, text + sizeof text, value, format)
                                 : std::to_chars(text, text + sizeof text, value, format, precision);
    return std::string(text, r.ptr);
}

struct Head {
    std::string label;  // head="…", escaped
    const HeadMetrics* metrics;
    HeadMetrics::Snapshot counts;
};

}  // namespace

std::string RenderMetrics(const std::vector<std::pair<std::string, const HeadMetrics*>>& heads) {
    std::vector<Head> all;
    for (const auto& [name, metrics] : heads) all.push_back({"head=\"" + EscapeLabel(name) + "\"", metrics, metrics->Take()});
    std::string out;
    // One family: its help, its type, then its samples for every head
    // (Prometheus wants the samples of one metric together).
    auto family = [&](const char* name, const char* help, const char* type, auto&& samples) {
        out.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
        for (const Head& h : all) samples(h);
    };
    auto sample = [&](const std::string& name, const std::string& labels, const std::string& value) {
        out.append(name).append("{").append(labels).append("} ").append(value).append("\n");
    };
    family("ptzd_exchanges_total", "Exchanges with the head (native frames and HTTP commands).", "counter",
           [&](const Head& h) { sample("ptzd_exchanges_total", h.label, std::to_string(h.counts.exchanges)); });
    family("ptzd_exchange_failures_total", "Failed exchanges by last-error kind and code.", "counter", [&](const Head& h) {
        for (const auto& [why, count] : h.counts.failures)
            sample("ptzd_exchange_failures_total",
                   h.label + ",kind=\"" + std::to_string(why.first) + "\",code=\"" + std::to_string(why.second) + "\"",
                   std::to_string(count));
    });
    family("ptzd_exchange_seconds", "Time of one exchange with the head.", "histogram", [&](const Head& h) {
        for (size_t i = 0; i < HeadMetrics::kBuckets.size(); ++i)
            sample("ptzd_exchange_seconds_bucket", h.label + ",le=\"" + Number(HeadMetrics::kBuckets[i]) + "\"",
                   std::to_string(h.counts.buckets[i]));
        sample("ptzd_exchange_seconds_bucket", h.label + ",le=\"+Inf\"", std::to_string(h.counts.exchanges));
        sample("ptzd_exchange_seconds_sum", h.label, Number(h.counts.seconds, std::chars_format::fixed, 6));
        sample("ptzd_exchange_seconds_count", h.label, std::to_string(h.counts.exchanges));
    });
    family("ptzd_clients_connected", "Native protocol clients connected.", "gauge",
           [&](const Head& h) { sample("ptzd_clients_connected", h.label, std::to_string(h.metrics->clients.load())); });
    family("ptzd_head_up", "1 while the head's link is open.", "gauge",
           [&](const Head& h) { sample("ptzd_head_up", h.label, h.metrics->up.load() ? "1" : "0"); });
    family("ptzd_reconnects_total", "Times the head's link was opened again after losing it.", "counter",
           [&](const Head& h) { sample("ptzd_reconnects_total", h.label, std::to_string(h.metrics->reconnects.load())); });
    return out;
}

}  // namespace ptzd
