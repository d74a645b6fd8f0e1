// Counters of one gateway, rendered as Prometheus text.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ptzd {

class HeadMetrics {
public:
    static constexpr std::array<double, 12> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                        0.05,   0.1,   0.25,   0.5,   1.0,  5.0};
    // One exchange with the head: its time and, when it failed, why.
    void Exchange(double seconds, bool failed, int32_t kind, int32_t code);
    std::atomic<int> clients{0};
    std::atomic<bool> up{false};
    std::atomic<uint64_t> reconnects{0};

    // A consistent copy of the exchange counters.
    struct Snapshot {
        uint64_t exchanges = 0;
        double seconds = 0;
        std::array<uint64_t, kBuckets.size()> buckets{};
        std::map<std::pair<int32_t, int32_t>, uint64_t> failures;
    };
    Snapshot Take() const;

private:
    mutable std::mutex mutex_;
    uint64_t exchanges_ = 0;
    double seconds_ = 0;
    std::array<uint64_t, kBuckets.size()> buckets_{};
    std::map<std::pair<int32_t, int32_t>, uint64_t> failures_;
};

// A label value in Prometheus text format: backslash, double quote and
// newline escaped.
std::string EscapeLabel(const std::string& value);
// The whole page of metrics for every head.
std::string RenderMetrics(const std::vector<std::pair<std::string, const HeadMetrics*>>& heads);

}  // namespace ptzd
