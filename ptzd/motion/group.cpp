#include "motion/group.h"

#include <algorithm>
#include <barrier>
#include <cmath>
#include <set>
#include <thread>

namespace ptzd::motion {

GroupResult MoveTogether(const std::vector<GroupTarget>& targets, const Pace& pace) {
    GroupResult group;
    auto refuse = [&](std::string why) {
        group.status = Status::BadArgument;
        group.message = std::move(why);
        return group;
    };
    if (targets.empty() || targets.size() > kMaxGroup) return refuse("a group move takes 1 to 64 heads");
    std::set<const Motion*> heads;
    for (const GroupTarget& t : targets) {
        if (t.head == nullptr) return refuse("a target names no head");
        if (!heads.insert(t.head).second) return refuse("head " + t.head->name() + " is named twice");
        if (t.preset != 0 && (t.pan || t.tilt)) return refuse(t.head->name() + ": a preset or a position, not both");
        if (t.preset < 0 || t.preset > kPresets) return refuse(t.head->name() + ": presets are 1 to 16");
        if (t.preset == 0 && !t.pan && !t.tilt) return refuse(t.head->name() + ": no position and no preset");
        if ((t.pan && !std::isfinite(*t.pan)) || (t.tilt && !std::isfinite(*t.tilt)))
            return refuse(t.head->name() + ": positions must be numbers");
    }
    if (pace.speed && !(*pace.speed >= 0 && *pace.speed <= 1)) return refuse("the speed must be between 0 and 1");
    if (pace.duration && pace.duration->count() <= 0) return refuse("the duration must be above 0");

    // Each head on a thread of its own: first every head's travel time, then
    // (once all are known) every head's move, started together.
    const size_t n = targets.size();
    group.results.resize(n);
    std::vector<double> seconds(n, 0);
    double common = 0;
    std::barrier meet(static_cast<std::ptrdiff_t>(n), [&]() noexcept {
        common = pace.duration ? std::chrono::duration<double>(*pace.duration).count() : 0;
        for (double s : seconds) common = std::max(common, s);
        common = std::max(common, 0.05);
    });
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            const GroupTarget& t = targets[i];
            const double share = pace.speed.value_or(t.head->units().config().defaultSpeed);
            Result estimate = t.head->Estimate(t.pan, t.tilt, t.preset, share);
            if (estimate.ok()) seconds[i] = estimate.seconds;
            meet.arrive_and_wait();
            if (!estimate.ok()) {
                group.results[i] = estimate;
                return;
            }
            const Pace together{.speed = std::nullopt,
                                .duration = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(common * 1000))),
                                .tiltSpeed = std::nullopt};
            group.results[i] = t.preset != 0 ? t.head->GoPreset(t.preset, together) : t.head->Absolute(t.pan, t.tilt, together);
        });
    }
    for (std::thread& t : threads) t.join();
    group.seconds = common;
    for (size_t i = 0; i < n; ++i)
        if (!group.results[i].ok() && group.status == Status::Ok) {
            group.status = group.results[i].status;
            group.message = targets[i].head->name() + ": " + group.results[i].message;
        }
    return group;
}

}  // namespace ptzd::motion
