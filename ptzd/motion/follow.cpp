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

Follow::~Follow() { Close(); }

void Follow::Close() {
    {
        std::lock_guard lock(lock_);
        closed_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
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
    status_.target = Lower(id);
    status_.last.reset();
    status_.lastAt.reset();
    status_.fixes = status_.moves = 0;
    status_.problem = id.empty() ? "" : "no fix of the target yet";
    pending_ = false;
    yielded_ = false;
    // What following started for another target is stopped (by the loop).
    retarget_ = ownMove_ != 0;
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
    s.following = ownMove_ != 0 && !yielded_;
    return s;
}

void Follow::Loop() {
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / settings_.rate));
    std::unique_lock lock(lock_);
    while (!closed_) {
        const auto now = Clock::now();
        // The lease: a silent feed stops what following started (only
        // that: a command from elsewhere since is left alone).
        if (ownMove_ != 0 && (retarget_ || !status_.lastAt || now >= *status_.lastAt + settings_.lease)) {
            const uint64_t own = ownMove_;
            const bool silent = !retarget_;
            ownMove_ = 0;
            retarget_ = false;
            sent_.reset();
            if (silent) {
                pending_ = false;
                char text[96];
                std::snprintf(text, sizeof text, "no fix of the target for %.1f s: the head was stopped",
                              std::chrono::duration<double>(settings_.lease).count());
                status_.problem = text;
            }
            lock.unlock();
            if (motion_.State().generation == own) {
                Log(Level::Info, "head " + motion_.name() + ": following stopped the head (" +
                                     (silent ? "the feed went silent" : "another target was chosen") + ")");
                motion_.Stop();
            }
            lock.lock();
            continue;
        }
        const auto turn = sentAt_ + period;
        if (pending_ && now >= turn) {
            pending_ = false;
            const Fix fix = *status_.last;
            const uint64_t own = ownMove_;
            lock.unlock();
            std::string why;
            const std::optional<geo::PanTilt> aim = motion_.Aim(fix.place, why);
            const Snapshot s = motion_.State();
            lock.lock();
            if (closed_ || Lower(fix.id) != status_.target) continue;
            if (own != 0 && s.generation != own) {
                // Someone else moved or stopped the head: theirs it is.
                yielded_ = true;
                ownMove_ = 0;
                sent_.reset();
                status_.problem = "another command took the head: choose the target again to follow it";
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
            const Result r = motion_.Absolute(aim->pan, aim->tilt);
            lock.lock();
            sentAt_ = Clock::now();
            if (r.ok()) {
                ownMove_ = r.move;
                sent_ = {aim->pan, aim->tilt};
                ++status_.moves;
                status_.problem.clear();
            } else {
                status_.problem = r.message.empty() ? std::string(StatusName(r.status)) : r.message;
            }
            continue;
        }
        Clock::time_point next = Clock::time_point::max();
        if (pending_) next = turn;
        if (ownMove_ != 0 && status_.lastAt) next = std::min(next, *status_.lastAt + settings_.lease);
        if (next == Clock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, next);
    }
}

}  // namespace ptzd::motion
