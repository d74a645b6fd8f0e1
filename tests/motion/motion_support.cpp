#include "motion_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace motiontest {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

SimulatedHead::SimulatedHead() {
    head_.WithModel([](ptzsim::HeadModel& m) {
        m.motion = true;
        return 0;
    });
    head_.SetResponder([this](std::span<const uint8_t> frame) -> std::optional<ptzsim::Reply> {
        if (frame.size() < 7) return std::nullopt;
        Request r{Clock::now(), frame[3], {frame.begin() + 5, frame.end() - 2}};
        std::unique_lock lock(mutex_);
        requests_.push_back(r);
        if (hold_ && hold_(r)) {
            hold_ = nullptr;
            holding_ = true;
            held_.notify_all();
            held_.wait_for(lock, 30s, [this] { return released_; });
            holding_ = released_ = false;
        }
        if (refuse_ && refuse_(r)) {
            std::vector<uint8_t> zeros(ptzsim::ResponseDataLength(r.code, r.data), 0);
            return ptzsim::Reply{{{0, ptzsim::ResponseFrame(r.code, 1, zeros)}}, false};
        }
        return std::nullopt;
    });
    server_ = std::make_unique<ptzsim::TcpServer>(head_);
    port_ = server_->Start();
}

SimulatedHead::~SimulatedHead() {
    Release();
    server_.reset();
}

void SimulatedHead::HoldNext(std::function<bool(const Request&)> hold) {
    std::lock_guard lock(mutex_);
    released_ = false;
    hold_ = std::move(hold);
}

bool SimulatedHead::Holding() {
    std::lock_guard lock(mutex_);
    return holding_;
}

void SimulatedHead::Release() {
    std::lock_guard lock(mutex_);
    if (holding_) released_ = true;
    held_.notify_all();
}

std::vector<SimulatedHead::Request> SimulatedHead::Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t SimulatedHead::Count(int code, Clock::time_point since) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Request& r : requests_)
        if ((code < 0 || r.code == code) && r.at >= since) ++n;
    return n;
}

std::optional<SimulatedHead::Request> SimulatedHead::First(int code, Clock::time_point since) {
    std::lock_guard lock(mutex_);
    for (const Request& r : requests_)
        if (r.code == code && r.at >= since) return r;
    return std::nullopt;
}

void SimulatedHead::Delay(int ms) {
    ptzsim::Faults f;
    f.delayMs = ms;
    head_.SetFaults(f);
}

void SimulatedHead::RefuseWhen(std::function<bool(const Request&)> refuse) {
    std::lock_guard lock(mutex_);
    refuse_ = std::move(refuse);
}

std::pair<int32_t, int32_t> SimulatedHead::Position() {
    return head_.WithModel([](ptzsim::HeadModel& m) {
        m.Advance();
        return std::pair{m.State().motorPosition[0], m.State().motorPosition[4]};
    });
}

bool SimulatedHead::Moving() {
    return head_.WithModel([](ptzsim::HeadModel& m) {
        m.Advance();
        return m.Moving(0) || m.Moving(4);
    });
}

void SimulatedHead::Model(const std::function<void(ptzsim::HeadModel&)>& f) {
    head_.WithModel([&](ptzsim::HeadModel& m) {
        f(m);
        return 0;
    });
}

void SimulatedHead::GoAway() { server_.reset(); }

void SimulatedHead::ComeBack() {
    server_ = std::make_unique<ptzsim::TcpServer>(head_);
    ASSERT_EQ(server_->Start("127.0.0.1", port_), port_);
}

SimulatedHead::Arrivals SimulatedHead::WatchArrival(int32_t pan, int32_t tilt, std::chrono::milliseconds limit) {
    Arrivals a;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline && !(a.pan && a.tilt)) {
        const auto [p, t] = Position();
        const auto now = Clock::now();
        if (p != pan) a.pan.reset();
        else if (!a.pan) a.pan = now;
        if (t != tilt) a.tilt.reset();
        else if (!a.tilt) a.tilt = now;
        std::this_thread::sleep_for(2ms);
    }
    return a;
}

Gateway::Gateway(ptzd::motion::MotionConfig config, ptzd::motion::Motion::Files files, std::string name)
    : worker(name, sim.Link()), motion(worker, config, bus, std::move(files)) {
    worker.Start();
    motion.Start();
    EXPECT_TRUE(WaitFor([&] { return motion.State().known; })) << "the poller never read the head";
}

Gateway::~Gateway() {
    worker.BeginStop(Clock::now() + 2s);
    motion.StopAll();
    worker.Stop();
}

std::vector<ptzd::motion::Event> Only(const std::vector<ptzd::motion::Event>& all, ptzd::motion::EventType type) {
    std::vector<ptzd::motion::Event> out;
    for (const auto& e : all)
        if (e.type == type) out.push_back(e);
    return out;
}

bool Has(const std::vector<ptzd::motion::Event>& all, ptzd::motion::EventType type, const std::string& reason) {
    return std::any_of(all.begin(), all.end(), [&](const auto& e) { return e.type == type && (reason.empty() || e.reason == reason); });
}

std::vector<ptzd::motion::Event> Until(ptzd::motion::EventBus::Subscription& s,
                                       const std::function<bool(const ptzd::motion::Event&)>& done) {
    std::vector<ptzd::motion::Event> all;
    const auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline)
        if (auto e = s.Next(100ms)) {
            all.push_back(*e);
            if (done(*e)) break;
        }
    return all;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ptzd-motion-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace motiontest
