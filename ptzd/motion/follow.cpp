#include "motion/follow.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "infra/log.h"
#include "motion/motion.h"

namespace ptzd::motion {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

Follow::Follow(Motion& motion, FollowSettings settings) : motion_(motion), settings_(std::move(settings)) {
    status_.settings = settings_;
    if (!settings_.target.empty()) SetTarget(settings_.target);
}

Follow::~Follow() {
    Close();
    if (thread_.joinable()) thread_.join();
}

// Not waited for: a move on its way to the head when the gateway stops
// goes before the stop that follows it, and nothing is sent after.
void Follow::Close() {
    {
        std::lock_guard lock(lock_);
        closed_ = true;
    }
    wake_.notify_all();
}

void Follow::Start() {
    if (!thread_.joinable() && !closed_) thread_ = std::thread([this] { Loop(); });
}

bool Follow::SetTarget(const std::string& id) {
    if (id.size() > kMaxId) return false;
    for (const char c : id)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    std::lock_guard lock(lock_);
    if (closed_) return false;
    ++targetEpoch_;
    status_.target = Lower(id);
    status_.last.reset();
    status_.lastAt.reset();
    status_.fixes = status_.moves = 0;
    status_.problem = id.empty() ? "" : "no fix of the target yet";
    pending_ = false;
    yielded_ = false;
    // What following started for the last target is stopped (by the loop).
    if (moving_) stopOwed_ = own_;
    own_ = 0;
    moving_ = false;
    sent_.reset();
    Start();
    wake_.notify_all();
    return true;
}

void Follow::Feed(const Fix& fix) {
    std::lock_guard lock(lock_);
    if (closed_ || status_.target.empty() || Lower(fix.id) != status_.target) return;
    if (!geo::CheckPlace(fix.place).empty()) return;
    status_.last = fix;
    status_.lastAt = Clock::now();
    ++status_.fixes;
    if (yielded_) return;
    pending_ = true;
    wake_.notify_all();
}

Follow::Status Follow::State() const {
    std::lock_guard lock(lock_);
    Status s = status_;
    s.following = own_ != 0 && !yielded_;
    return s;
}

void Follow::Loop() {
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / settings_.rate));
    std::unique_lock lock(lock_);
    while (!closed_) {
        const auto now = Clock::now();
        if (stopOwed_ != 0) {
            const uint64_t move = stopOwed_;
            stopOwed_ = 0;
            lock.unlock();
            motion_.StopMoveOf(move, "another target was chosen");
            lock.lock();
            continue;
        }
        // The lease: a silent feed stops what following started (unless a
        // command from elsewhere came since: that one is left alone).
        if (moving_ && status_.lastAt && now >= *status_.lastAt + settings_.lease) {
            moving_ = false;
            pending_ = false;
            char text[96];
            std::snprintf(text, sizeof text, "no fix of the target for %.1f s: the head was stopped",
                          std::chrono::duration<double>(settings_.lease).count());
            status_.problem = text;
            const uint64_t move = own_;
            lock.unlock();
            if (motion_.LastCommand() == move)
                Log(Level::Info, "head " + motion_.name() + ": following stopped the head (the feed went silent)");
            motion_.StopMoveOf(move, "the feed went silent");
            lock.lock();
            continue;
        }
        const auto turn = sentAt_ + period;
        if (pending_ && now >= turn) {
            pending_ = false;
            const Fix fix = *status_.last;
            const uint64_t epoch = targetEpoch_;
            const uint64_t after = own_;  // 0: the first move for this target
            lock.unlock();
            std::string why;
            const std::optional<geo::PanTilt> aim = motion_.Aim(fix.place, why);
            const uint64_t last = motion_.LastCommand();
            lock.lock();
            if (closed_ || epoch != targetEpoch_) continue;
            const auto yield = [this] {
                // Someone else moved or stopped the head: theirs it is.
                yielded_ = true;
                moving_ = false;
                status_.problem = "another command took the head: choose the target again to follow it";
            };
            if (after != 0 && last != after) {
                yield();
                continue;
            }
            if (!aim) {
                status_.problem = why;
                continue;
            }
            if (sent_ && std::fabs(aim->pan - sent_->first) < settings_.minStep &&
                std::fabs(aim->tilt - sent_->second) < settings_.minStep) {
                status_.problem.clear();
                continue;
            }
            lock.unlock();
            const Result r = after != 0 ? motion_.AbsoluteAfter(after, aim->pan, aim->tilt) : motion_.Absolute(aim->pan, aim->tilt);
            lock.lock();
            sentAt_ = Clock::now();
            if (epoch != targetEpoch_) {
                // Another target was chosen while it went: it is stopped.
                if (r.ok()) stopOwed_ = r.move;
                continue;
            }
            if (r.ok()) {
                own_ = r.move;
                moving_ = true;
                sent_ = {aim->pan, aim->tilt};
                ++status_.moves;
                status_.problem.clear();
            } else if (r.status == motion::Status::Superseded && after != 0) {
                yield();
            } else {
                status_.problem = r.message.empty() ? std::string(motion::StatusName(r.status)) : r.message;
            }
            continue;
        }
        Clock::time_point next = Clock::time_point::max();
        if (pending_) next = turn;
        if (moving_ && status_.lastAt) next = std::min(next, *status_.lastAt + settings_.lease);
        if (next == Clock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, next);
    }
}

}  // namespace ptzd::motion
