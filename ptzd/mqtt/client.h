// ptzd's one connection to an MQTT broker, over libmosquitto. One thread,
// this one's own, is the only one that calls the library: it connects (and
// connects again after a loss, backing off), subscribes, reads, and sends
// what other threads queue with Publish (a bounded queue). Stop ends it
// within its deadline whatever the broker does: a broker that is away or
// no longer answers never holds ptzd's exit.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_config.h"

namespace ptzd::mqtt {

// A message as it came: its MQTT 5 properties where the broker gave them.
struct Incoming {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::optional<std::string> responseTopic;
    std::optional<std::string> correlation;
    std::optional<uint32_t> expiry;  // seconds left of its message expiry
};

struct Outgoing {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    std::optional<std::string> correlation;  // MQTT 5: handed back with an answer
    std::optional<uint32_t> expiry;          // MQTT 5: message expiry, seconds
};

struct Subscription {
    std::string filter;
    int qos = 1;
    // MQTT 5: whether retained messages are sent at subscription (commands:
    // never, Retain Handling 2).
    bool retained = false;
};

class Client {
public:
    static constexpr size_t kMaxQueue = 4096;  // messages waiting to be sent; more are dropped (counted)
    static constexpr std::chrono::milliseconds kFirstRetry{500}, kMostRetry{30000};

    struct Hooks {
        // On the client's thread, after each (re)connection and its subscriptions.
        std::function<void()> connected;
        // On the client's thread: keep it short (hand work on).
        std::function<void(const Incoming&)> message;
    };

    // `password` is the secret itself (read by the caller); `will` is sent
    // by the broker when the connection is lost.
    Client(MqttConfig config, std::string clientId, std::string password, Outgoing will, std::vector<Subscription> subscriptions,
           Hooks hooks);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Start();
    // Sends `last` (when connected), disconnects and ends the thread, all by `deadline`.
    void Stop(std::optional<Outgoing> last, std::chrono::steady_clock::time_point deadline);

    // Queues a message; false when the queue is full (dropped).
    bool Publish(Outgoing message);
    bool Connected() const;
    uint64_t Dropped() const;
    uint64_t Connections() const;
    bool V5() const { return config_.protocol == 5; }

private:
    void Loop();
    void Wake();
    // Whether `host` resolves within `within` (false at once when stopping).
    bool Resolves(const std::string& host, std::chrono::milliseconds within);

    MqttConfig config_;
    std::string clientId_, password_;
    Outgoing will_;
    std::vector<Subscription> subscriptions_;
    Hooks hooks_;
    int wake_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::deque<Outgoing> queue_;
    std::optional<Outgoing> last_;
    std::chrono::steady_clock::time_point deadline_{};
    bool stopping_ = false;
    bool connected_ = false;
    uint64_t dropped_ = 0, connections_ = 0;
};

// The topic levels a name may become: [A-Za-z0-9_-] kept, every other byte
// as _XX (hex), so different names never meet ("a.b" -> "a_2Eb").
std::string TopicLevel(const std::string& name);

// Whether an MQTT filter ("a/+/b/#") matches a topic.
bool Matches(const std::string& filter, const std::string& topic);

}  // namespace ptzd::mqtt
