#include "head_worker.h"

#include <ctime>
#include <future>
#include <sys/eventfd.h>
#include <unistd.h>

#include "link/forward.h"
#include "log.h"
#include "ptz.h"

namespace ptzd {

namespace {

std::string Clock() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string ErrorText(int32_t kind, int32_t code) {
    char text[320];
    PTZ_GetErrorText(kind, code, text, sizeof text);
    return text;
}

}  // namespace

HeadWorker::HeadWorker(HeadConfig config)
    : config_(std::move(config)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HeadWorker::~HeadWorker() {
    Stop();
    if (wake_ >= 0) ::close(wake_);
}

void HeadWorker::Start() { thread_ = std::thread([this] { Loop(); }); }

namespace {
void Signal(int fd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}
}  // namespace

void HeadWorker::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    Signal(wake_);
    if (thread_.joinable()) thread_.join();
}

bool HeadWorker::Submit(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || queue_.size() >= kMaxQueued) return false;
        queue_.push_back(std::move(job));
    }
    Signal(wake_);
    return true;
}

Outcome HeadWorker::Call(const std::function<int32_t(int32_t link)>& command) {
    auto done = std::make_shared<std::promise<Outcome>>();
    auto result = done->get_future();
    const bool queued = Submit([this, command, done](int32_t link) {
        if (link == 0) {
            done->set_value({kLinkDown, 0, 0});
            return false;
        }
        const auto start = std::chrono::steady_clock::now();
        Outcome outcome{command(link), 0, 0};
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (outcome.result == PTZ_FAILED) PTZ_LinkLastError(&outcome.kind, &outcome.code);
        if (outcome.result != PTZ_BAD_PARAM) metrics_.Exchange(seconds, outcome.result == PTZ_FAILED, outcome.kind, outcome.code);
        const bool lost = outcome.result == PTZ_FAILED && ptz::ConnectionLost(link, outcome.kind, outcome.code);
        done->set_value(outcome);
        return lost;
    });
    if (!queued) return {kLinkDown, 0, 0};
    return result.get();
}

std::vector<std::string> HeadWorker::RecentFailures() {
    std::lock_guard lock(mutex_);
    return failures_;
}

void HeadWorker::NoteFailure(const std::string& what, int32_t kind, int32_t code) {
    const std::string line = Clock() + " " + what + ": kind " + std::to_string(kind) + ", code " +
                             std::to_string(code) + ": " + ErrorText(kind, code);
    Log(Level::Warn, "head " + config_.name + ": " + what + " failed: kind " + std::to_string(kind) + ", code " +
                         std::to_string(code) + ": " + ErrorText(kind, code));
    std::lock_guard lock(mutex_);
    failures_.push_back(line);
    if (failures_.size() > 20) failures_.erase(failures_.begin());
}

bool HeadWorker::Open() {
    const std::string& link = config_.link;
    int32_t handle = 0, result = PTZ_FAILED;
    if (link.rfind("serial:", 0) == 0) {
        result = PTZ_LinkOpenPath(link.c_str() + 7, &handle);
    } else if (link.rfind("com:", 0) == 0) {
        result = PTZ_LinkOpenCom(std::atoi(link.c_str() + 4), &handle);
    } else if (link.rfind("tcp:", 0) == 0) {
        Address a;
        ParseAddress(link.substr(4), a);
        result = PTZ_LinkOpenLan(a.host.c_str(), a.port, &handle);
    }
    if (result != PTZ_OK) return false;
    link_ = handle;
    metrics_.up = true;
    return true;
}

void HeadWorker::Close() {
    if (link_ != 0) PTZ_LinkClose(link_);
    link_ = 0;
    metrics_.up = false;
}

void HeadWorker::Run(const Job& job) {
    const bool lost = job(link_);
    if (lost && link_ != 0) {
        Log(Level::Warn, "head " + config_.name + ": link lost; reopening");
        Close();
    }
}

void HeadWorker::Loop() {
    using Clock = std::chrono::steady_clock;
    auto backoff = std::chrono::milliseconds(250);
    auto nextAttempt = Clock::now();
    bool everUp = false, reportedDown = false;
    const Runner run = [this](const Job& job) { Run(job); };
    std::vector<pollfd> fds;
    for (;;) {
        if (link_ == 0 && Clock::now() >= nextAttempt) {
            if (Open()) {
                Log(Level::Info, "head " + config_.name + ": link " + config_.link + " open");
                if (everUp) ++metrics_.reconnects;
                everUp = true;
                reportedDown = false;
                backoff = std::chrono::milliseconds(250);
            } else {
                int32_t kind = 0, code = 0;
                PTZ_LinkLastError(&kind, &code);
                if (!reportedDown)
                    Log(Level::Warn, "head " + config_.name + ": cannot open " + config_.link + ": " +
                                         ErrorText(kind, code) + "; trying again with back-off");
                reportedDown = true;
                nextAttempt = Clock::now() + backoff;
                backoff = std::min(backoff * 2, std::chrono::milliseconds(5000));
            }
        }
        // Wait for a queued job, a client, or the next attempt to open.
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        if (frontEnd_) frontEnd_->Fds(fds);
        int timeout = -1;
        if (link_ == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - Clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, left.count()) + 1);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wake_, &count, sizeof count);
        }
        bool stopping;
        {
            std::lock_guard lock(mutex_);
            stopping = stopping_;
        }
        if (stopping) break;
        if (frontEnd_) frontEnd_->Ready(fds.data() + 1, fds.size() - 1, run);
        // The queued jobs, in arrival order.
        for (;;) {
            Job job;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty() || stopping_) break;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            Run(job);
        }
    }
    // What is still queued fails at once, as while the head is away.
    for (;;) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) break;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job(0);
    }
    if (frontEnd_) frontEnd_->Close();
    Close();
}

}  // namespace ptzd
