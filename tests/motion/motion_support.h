// Test helpers for the motion layer: a simulated head with its motion model
// on, in this process and served on loopback, that notes when each request
// arrived; and a gateway's share of one head (worker, event bus, motion).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "head.h"
#include "worker/head_worker.h"
#include "motion/motion.h"
#include "server.h"

namespace motiontest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits for `condition`, looking every few milliseconds, at most `limit`.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);

class SimulatedHead {
public:
    struct Request {
        Clock::time_point at;
        uint8_t code;
        std::vector<uint8_t> data;
    };
    SimulatedHead();
    ~SimulatedHead();

    std::string Link() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    std::vector<Request> Requests();
    // Requests with `code` (-1: all) that arrived at or after `since`.
    size_t Count(int code, Clock::time_point since = {});
    // The first request with `code` at or after `since`.
    std::optional<Request> First(int code, Clock::time_point since = {});
    // Every answer this late (0: at once).
    void Delay(int ms);
    // Refuse requests for which `refuse` says so (status 1).
    void RefuseWhen(std::function<bool(const Request&)> refuse);
    // Holds the next request for which `hold` says so: logged, but neither
    // acted on nor answered until Release() (at most 30 s). While one is
    // held, Position(), Moving() and Model() wait too.
    void HoldNext(std::function<bool(const Request&)> hold);
    bool Holding();
    void Release();

    // The model's pan and tilt (motors 0 and 4), brought up to now.
    std::pair<int32_t, int32_t> Position();
    bool Moving();
    void Model(const std::function<void(ptzsim::HeadModel&)>& f);

    // The head goes away (its port closes) and comes back on the same port.
    void GoAway();
    void ComeBack();

    // When each axis reached (pan, tilt) and stayed, watched every 2 ms from
    // now; nothing for an axis that did not within `limit`.
    struct Arrivals {
        std::optional<Clock::time_point> pan, tilt;
    };
    Arrivals WatchArrival(int32_t pan, int32_t tilt, std::chrono::milliseconds limit = 20s);

private:
    ptzsim::Head head_;
    std::unique_ptr<ptzsim::TcpServer> server_;
    int port_ = -1;
    std::mutex mutex_;
    std::vector<Request> requests_;
    std::function<bool(const Request&)> refuse_;
    std::function<bool(const Request&)> hold_;
    bool holding_ = false, released_ = false;
    std::condition_variable held_;
};

// One head as ptzd runs it: the worker on the simulated head, an event bus
// and the motion service, started; stopped as ptzd stops.
struct Gateway {
    explicit Gateway(ptzd::motion::MotionConfig config = {}, ptzd::motion::Motion::Files files = {},
                     std::string name = "cam");
    ~Gateway();
    SimulatedHead sim;
    ptzd::HeadWorker worker;
    ptzd::motion::EventBus bus;
    ptzd::motion::Motion motion;
};

// The events of one type, in order.
std::vector<ptzd::motion::Event> Only(const std::vector<ptzd::motion::Event>& all, ptzd::motion::EventType type);
// Whether there is one of that type (with that reason, if given).
bool Has(const std::vector<ptzd::motion::Event>& all, ptzd::motion::EventType type, const std::string& reason = "");
// Events as they come until `done` holds for the last one (or 30 s).
std::vector<ptzd::motion::Event> Until(ptzd::motion::EventBus::Subscription& s,
                                       const std::function<bool(const ptzd::motion::Event&)>& done);

// A fresh temporary directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace motiontest
