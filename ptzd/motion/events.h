// What happens to the heads, as a stream of events that any front end can
// subscribe to. Publishing never waits for a subscriber: each one has a
// bounded queue, and one that does not keep up loses its oldest events
// (and is told how many).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ptzd::motion {

enum class EventType {
    MoveStarted,    // move, generation, pan/tilt: the target where one is known
    MoveFinished,   // move, generation, reason, pan/tilt: where the head stands
    LimitReached,   // axis, side ("min"/"max"), pan/tilt: where the head stands
    PresetReached,  // preset, pan/tilt
    LinkLost,
    LinkRestored,
    TourStep,       // tour, step (from 0), round (from 0)
    TourStopped,    // tour, reason
    FlagsChanged,   // flags: the head's four status flags, read for the first time or changed
    InfraredChanged,  // on: the infrared lamp, as last set through this gateway
};
const char* EventName(EventType type);  // "move_started", ...

struct Event {
    uint64_t sequence = 0;  // 1, 2, ... in publishing order, across all heads of one bus
    std::chrono::system_clock::time_point time;
    std::chrono::steady_clock::time_point monotonic;
    EventType type = EventType::MoveStarted;
    std::string head;
    std::string move;         // "absolute", "relative", "continuous", "preset", "home", "external"
    uint64_t generation = 0;  // the move's number (0: a move no front end made)
    double pan = 0, tilt = 0; // degrees
    std::string axis, side;
    int preset = 0;
    std::string tour;
    int step = -1, round = 0;
    std::string reason;
    std::array<int32_t, 4> flags{};
    unsigned changedFlags = 0;  // FlagsChanged: bit k set when flag k is new or changed
    bool on = false;
    int fromPreset = 0;  // MoveStarted: the preset the head stood at when it set off (0: none)
};


class EventBus {
public:
    class Subscription {
    public:
        // The next event, waiting up to `timeout`; nothing after the wait
        // or once closed.
        std::optional<Event> Next(std::chrono::milliseconds timeout);
        // Everything queued, at once.
        std::vector<Event> Drain();
        // Events lost because the queue was full.
        uint64_t Dropped();
        // Wakes a waiting Next; later ones return at once.
        void Close();
        // The subscription ends by itself at `when`: from then on it takes
        // no events, holds none and no longer counts against the bus's
        // subscribers, whether or not its holder is still around. False
        // when it is closed or has ended already (nothing changed).
        bool EndAt(std::chrono::system_clock::time_point when);

    private:
        friend class EventBus;
        explicit Subscription(size_t capacity) : capacity_(capacity) {}
        void Push(const Event& event);
        bool Ended(std::chrono::system_clock::time_point now);  // closes and empties it once past its end
        std::mutex mutex_;
        std::condition_variable ready_;
        std::deque<Event> queue_;
        size_t capacity_;
        uint64_t dropped_ = 0;
        bool closed_ = false;
        std::optional<std::chrono::system_clock::time_point> end_;
    };

    explicit EventBus(size_t maxSubscribers = 64) : maxSubscribers_(maxSubscribers) {}

    // A new subscriber with room for `capacity` events (1-10000); nullptr
    // when maxSubscribers are subscribed already. Dropping the pointer
    // unsubscribes.
    std::shared_ptr<Subscription> Subscribe(size_t capacity = 256);
    // Numbers, stamps and hands the event to every subscriber.
    void Publish(Event event);
    // Closes every subscription (at shutdown).
    void Close();
    size_t Subscribers();

private:
    std::mutex mutex_;
    void Prune();  // under mutex_: forgets subscriptions dropped or past their end
    std::vector<std::weak_ptr<Subscription>> subscribers_;
    size_t maxSubscribers_;
    uint64_t sequence_ = 0;
};

}  // namespace ptzd::motion
