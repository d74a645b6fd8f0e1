// The MQTT front end: every head's state, link and events published under
// <prefix>/<gateway>/<head>/..., its commands taken from .../cmd/..., Home
// Assistant discovery, answers under <prefix>/<gateway>/reply/... only. It
// translates: moves, presets, tours and state are the motion layer's.
//
// A command never moves a head late or twice: a retained message is never
// acted on (and retained ones are not even sent to ptzd: Retain Handling
// 2); the session is clean (nothing queued while ptzd was away is replayed);
// a command older than its "sent" time allows is refused; every continuous
// move runs on the motion layer's lease; a relative move carries an id and
// a repeat of it within a minute is dropped; a request naming a reply topic
// outside ptzd's reply tree is refused; absolute targets queued for one head
// are coalesced (the newest wins) and a head takes at most rate_limit
// commands a second (more are answered busy).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "front_end.h"
#include "motion/motion.h"
#include "mqtt/client.h"
#include "mqtt/mqtt_config.h"

namespace ptzd::mqtt {

class Gateway final : public FrontEnd {
public:
    // `gateway`: the gateway's topic level; `password`: the broker password
    // (read from its file by the caller); `stateFile`: where the discovery
    // configurations it published are remembered ("" : nowhere).
    Gateway(MqttConfig config, std::string gateway, std::string password, std::vector<motion::Motion*> heads,
            std::string stateFile);
    ~Gateway() override;
    std::string Name() const override { return "MQTT"; }
    // Nothing to bind: checks that the TLS files can be read (without them
    // ptzd would not start rather than connect in clear).
    bool Bind() override;
    void Start() override;
    void BeginStop() override;
    void Join() override;
    void Metrics(std::string& out) const override;

    static constexpr size_t kMaxPayload = 4096;      // bytes of a command
    static constexpr size_t kMaxQueued = 256;        // stops waiting, all heads
    static constexpr size_t kMaxQueuedPerHead = 32;  // commands waiting for one head
    static constexpr auto kRepeatWindow = std::chrono::seconds(60);
    static constexpr size_t kMaxRemembered = 4096;   // relative-move ids kept per head

private:
    struct Command {
        motion::Motion* head = nullptr;  // null: the gateway's own (group moves)
        std::string what;                // "move", "pan", "stop", "preset/go", ...
        std::string payload;
        std::optional<std::string> replyTopic;
        std::optional<std::string> correlation;
        bool absolute = false;           // a target that a newer one replaces
        std::chrono::steady_clock::time_point arrived;
        std::string topic;
        std::string repeatId;            // a relative move's id
    };
    struct HeadState {
        motion::Motion* motion = nullptr;
        std::string level;  // the head's topic level (its name)
        std::string id;     // its Home Assistant id
        std::shared_ptr<motion::EventBus::Subscription> events;
        std::string lastState, lastLink, lastDiscovery;
        std::chrono::steady_clock::time_point lastStateAt{};
        // Commands taken this second, for the rate cap.
        std::chrono::steady_clock::time_point window{};
        int inWindow = 0;
        std::map<std::string, std::chrono::steady_clock::time_point> seen;  // relative-move ids
        // Its commands, carried out one after another by its own worker
        // (a slow head holds up no other); under the gateway's mutex_.
        std::deque<Command> queue;
        std::condition_variable work;
        std::thread worker;
    };

    void OnConnected();
    void OnMessage(const Incoming& in);
    void Work(HeadState& lane);
    void Stopper();
    void Run(const Command& c);
    void Count(const char* kind, const std::string& topic, const std::string& reason);
    void PublishLoop();
    void Execute(const Command& c);
    void Answer(const Command& c, const nlohmann::json& body);
    // `kind` counts it in /metrics ("retained", "stale", "busy", ...).
    void Refuse(const Incoming& in, const std::optional<std::string>& reply, const char* kind, const std::string& reason);
    std::optional<std::string> ReplyTopic(const Incoming& in, const std::string& payload, std::string& why) const;
    void PublishDiscovery();
    void ForgetRemoved();
    nlohmann::json DeviceConfig(HeadState& h) const;
    nlohmann::json HubConfig() const;

    MqttConfig config_;
    std::string gateway_, base_;
    std::vector<std::unique_ptr<HeadState>> heads_;
    std::string stateFile_;
    std::unique_ptr<Client> client_;

    std::mutex mutex_;
    std::condition_variable ready_;  // the publisher's: the stop
    HeadState group_;                // the gateway's own lane: group moves
    std::deque<Command> stops_;      // stops, ahead of every head's queue
    std::condition_variable stopWork_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stopBegan_{};
    std::atomic<bool> discoveryOwed_{false};
    std::chrono::steady_clock::time_point discoveryAt_{};
    std::thread stopper_, publisher_;

    mutable std::mutex countMutex_;
    std::map<std::string, uint64_t> refused_;  // by reason
    std::map<std::string, std::chrono::steady_clock::time_point> logged_;
    std::atomic<uint64_t> taken_{0};
};

}  // namespace ptzd::mqtt
