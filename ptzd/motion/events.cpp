#include "motion/events.h"

#include <algorithm>

namespace ptzd::motion {

const char* EventName(EventType type) {
    switch (type) {
        case EventType::MoveStarted: return "move_started";
        case EventType::MoveFinished: return "move_finished";
        case EventType::LimitReached: return "limit_reached";
        case EventType::PresetReached: return "preset_reached";
        case EventType::LinkLost: return "link_lost";
        case EventType::LinkRestored: return "link_restored";
        case EventType::TourStep: return "tour_step";
        case EventType::TourStopped: return "tour_stopped";
        case EventType::FlagsChanged: return "flags_changed";
        case EventType::InfraredChanged: return "infrared_changed";
    }
    return "?";
}


std::optional<Event> EventBus::Subscription::Next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !queue_.empty() || closed_; }) || queue_.empty())
        return std::nullopt;
    Event e = std::move(queue_.front());
    queue_.pop_front();
    return e;
}

std::vector<Event> EventBus::Subscription::Drain() {
    std::lock_guard lock(mutex_);
    std::vector<Event> out(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    return out;
}

uint64_t EventBus::Subscription::Dropped() {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void EventBus::Subscription::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool EventBus::Subscription::EndAt(std::chrono::system_clock::time_point when) {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    end_ = when;
    return true;
}

bool EventBus::Subscription::Ended(std::chrono::system_clock::time_point now) {
    {
        std::lock_guard lock(mutex_);
        if (!end_ || *end_ > now) return false;
        closed_ = true;
        queue_.clear();
    }
    ready_.notify_all();
    return true;
}

void EventBus::Subscription::Push(const Event& event) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        if (queue_.size() >= capacity_) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(event);
    }
    ready_.notify_one();
}

void EventBus::Prune() {
    const auto now = std::chrono::system_clock::now();
    std::erase_if(subscribers_, [now](const auto& weak) {
        const auto s = weak.lock();
        return !s || s->Ended(now);
    });
}

std::shared_ptr<EventBus::Subscription> EventBus::Subscribe(size_t capacity) {
    std::lock_guard lock(mutex_);
    Prune();
    if (subscribers_.size() >= maxSubscribers_) return nullptr;
    std::shared_ptr<Subscription> s(new Subscription(std::clamp<size_t>(capacity, 1, 10000)));
    subscribers_.push_back(s);
    return s;
}

void EventBus::Publish(Event event) {
    std::lock_guard lock(mutex_);
    event.sequence = ++sequence_;
    event.time = std::chrono::system_clock::now();
    event.monotonic = std::chrono::steady_clock::now();
    Prune();
    for (const auto& weak : subscribers_)
        if (const auto s = weak.lock()) s->Push(event);
}

void EventBus::Close() {
    std::lock_guard lock(mutex_);
    for (const auto& weak : subscribers_)
        if (const auto s = weak.lock()) s->Close();
}

size_t EventBus::Subscribers() {
    std::lock_guard lock(mutex_);
    Prune();
    return subscribers_.size();
}

}  // namespace ptzd::motion
