// The Events service of one head: pull points (CreatePullPointSubscription,
// PullMessages as a long poll, Renew, Unsubscribe, SetSynchronizationPoint)
// over the motion layer's event bus, and the topics it publishes. Every
// pull point has a bounded queue and a termination time; expired ones are
// reclaimed, at most kMaxPullPoints exist and at most kMaxWaiting requests
// wait in a long poll at once (the others are answered at once).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "motion/events.h"
#include "motion/motion.h"
#include "soap.h"

namespace ptzd::onvif {

constexpr const char* kEvents = "http://www.onvif.org/ver10/events/wsdl";

class PullPoints {
public:
    // `motion` null: no events (the operations alone).
    PullPoints(std::string head, motion::Motion* motion)
        : head_(std::move(head)), motion_(motion), bus_(motion ? &motion->events() : nullptr) {}
    ~PullPoints();

    // Answers an Events operation (`path` is the request's path: a pull
    // point's operations come to the address its subscription gave);
    // status and body of the envelope.
    std::pair<int, std::string> Handle(const Request& r, const std::string& path);
    // The operations Handle answers.
    static constexpr const char* kOperations[] = {"GetServiceCapabilities", "GetEventProperties",
                                                  "CreatePullPointSubscription", "PullMessages", "Renew",
                                                  "Unsubscribe", "SetSynchronizationPoint"};
    // A configuration of this head changed (the ConfigurationChanged topic).
    void ConfigurationChanged(const std::string& token);

    static constexpr size_t kMaxPullPoints = 8;
    static constexpr size_t kQueue = 128;  // events kept per pull point
    static constexpr int kMaxWaiting = 4;  // long polls at once
    static constexpr std::chrono::seconds kMaxTimeout{60};
    static constexpr std::chrono::seconds kDefaultTermination{60};
    static constexpr std::chrono::seconds kMaxTermination{3600};
    static constexpr int kMaxMessages = 100;  // per PullMessages
    // A long poll waits in slices this long, asking the head to be read
    // at each (so its status flags change while someone listens).
    static constexpr std::chrono::milliseconds kWatchSlice{5000};

    // The service's tev:Capabilities element.
    static std::string Capabilities();
    // A notification: its topic (below tns1:) and its NotificationMessage.
    struct Note {
        std::string topic, message;
    };
    // The notifications an event makes (none, one or several).
    std::vector<Note> Notes(const motion::Event& e) const;
    // Every property's present state, as Initialized notifications: the
    // status flags as digital inputs, the infrared lamp as a relay (once
    // set through this gateway), the gateway's start as the last reboot.
    std::vector<Note> Properties() const;

private:
    struct Point {
        std::shared_ptr<motion::EventBus::Subscription> subscription;
        std::vector<std::string> filter;  // topics wanted (prefixes); empty: all
        std::chrono::system_clock::time_point terminates;
        std::vector<std::string> local;  // messages of our own (configuration changes)
    };
    static bool Wanted(const Point& point, const std::string& topic);
    void Reclaim();  // under mutex_
    std::shared_ptr<Point> Find(const std::string& path);

    std::string head_;
    motion::Motion* motion_;
    motion::EventBus* bus_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Point>> points_;
    uint64_t next_ = 0;
    std::atomic<int> waiting_{0};
};


}  // namespace ptzd::onvif
