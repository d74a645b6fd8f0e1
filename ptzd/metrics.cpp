#include "metrics.h"

#include <cstdio>

namespace ptzd {

void HeadMetrics::Exchange(double seconds, bool failed, int32_t kind, int32_t code) {
    std::lock_guard lock(mutex_);
    ++exchanges_;
    seconds_ += seconds;
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++buckets_[i];
    if (failed) ++failures_[{kind, code}];
}

void HeadMetrics::Render(const std::string& head, std::string& out) const {
    char line[256];
    const std::string label = "head=\"" + head + "\"";
    std::lock_guard lock(mutex_);
    std::snprintf(line, sizeof line, "ptzd_exchanges_total{%s} %llu\n", label.c_str(),
                  static_cast<unsigned long long>(exchanges_));
    out += line;
    for (const auto& [why, count] : failures_) {
        std::snprintf(line, sizeof line, "ptzd_exchange_failures_total{%s,kind=\"%d\",code=\"%d\"} %llu\n",
                      label.c_str(), why.first, why.second, static_cast<unsigned long long>(count));
        out += line;
    }
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        std::snprintf(line, sizeof line, "ptzd_exchange_seconds_bucket{%s,le=\"%g\"} %llu\n", label.c_str(),
                      kBuckets[i], static_cast<unsigned long long>(buckets_[i]));
        out += line;
    }
    std::snprintf(line, sizeof line,
                  "ptzd_exchange_seconds_bucket{%s,le=\"+Inf\"} %llu\nptzd_exchange_seconds_sum{%s} %.6f\n"
                  "ptzd_exchange_seconds_count{%s} %llu\n",
                  label.c_str(), static_cast<unsigned long long>(exchanges_), label.c_str(), seconds_, label.c_str(),
                  static_cast<unsigned long long>(exchanges_));
    out += line;
    std::snprintf(line, sizeof line, "ptzd_clients_connected{%s} %d\nptzd_head_up{%s} %d\nptzd_reconnects_total{%s} %llu\n",
                  label.c_str(), clients.load(), label.c_str(), up.load() ? 1 : 0, label.c_str(),
                  static_cast<unsigned long long>(reconnects.load()));
    out += line;
}

std::string RenderMetrics(const std::vector<std::pair<std::string, const HeadMetrics*>>& heads) {
    std::string out =
        "# HELP ptzd_exchanges_total Exchanges with the head (native frames and HTTP commands).\n"
        "# TYPE ptzd_exchanges_total counter\n"
        "# HELP ptzd_exchange_failures_total Failed exchanges by last-error kind and code.\n"
        "# TYPE ptzd_exchange_failures_total counter\n"
        "# HELP ptzd_exchange_seconds Time of one exchange with the head.\n"
        "# TYPE ptzd_exchange_seconds histogram\n"
        "# HELP ptzd_clients_connected Native protocol clients connected.\n"
        "# TYPE ptzd_clients_connected gauge\n"
        "# HELP ptzd_head_up 1 while the head's link is open.\n"
        "# TYPE ptzd_head_up gauge\n"
        "# HELP ptzd_reconnects_total Times the head's link was opened again after losing it.\n"
        "# TYPE ptzd_reconnects_total counter\n";
    // Prometheus wants the samples of one metric together.
    std::string all;
    for (const auto& [name, metrics] : heads) metrics->Render(name, all);
    for (const char* metric : {"ptzd_exchanges_total", "ptzd_exchange_failures_total", "ptzd_exchange_seconds_",
                               "ptzd_clients_connected", "ptzd_head_up", "ptzd_reconnects_total"}) {
        size_t at = 0;
        while (at < all.size()) {
            const size_t end = all.find('\n', at);
            if (all.compare(at, std::char_traits<char>::length(metric), metric) == 0)
                out.append(all, at, end - at + 1);
            at = end + 1;
        }
    }
    return out;
}

}  // namespace ptzd
