// Several heads moved together: each to a position in degrees or to a
// preset, all started at once, with speeds chosen so that they all arrive
// together (each head's two axes too).
#pragma once

#include <optional>
#include <vector>

#include "motion/motion.h"

namespace ptzd::motion {

struct GroupTarget {
    Motion* head = nullptr;
    std::optional<double> pan, tilt;  // degrees (an absent axis stays)
    int preset = 0;                   // instead of a position: 1-16
};

struct GroupResult {
    Status status = Status::Ok;       // Ok only when every head's move started
    std::string message;              // the first failure, "HEAD: why"
    std::vector<Result> results;      // one per target, in order
    double seconds = 0;               // the common travel time
};

constexpr size_t kMaxGroup = 64;

// Reads where each head is, takes the longest travel time at `pace.speed`
// (default: the heads' default speed), or `pace.duration` if that is longer,
// and starts every head so that it arrives after that time. A preset whose
// position this gateway has not seen yet goes at the head's default speed.
GroupResult MoveTogether(const std::vector<GroupTarget>& targets, const Pace& pace = {});

}  // namespace ptzd::motion
