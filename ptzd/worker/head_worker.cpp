#include "worker/head_worker.h"

#include <ctime>
#include <future>
#include <sys/eventfd.h>
#include <unistd.h>

#include "link/forward.h"
#include "infra/log.h"
#include "infra/net.h"
#include "ptz.h"

namespace ptzd {

namespace {

std::string TimeOfDay() {
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

HeadWorker::HeadWorker(std::string name, std::string link)
    : name_(std::move(name)), linkText_(std::move(link)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

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

void HeadWorker::FailQueued(bool urgent) {
    std::deque<Job> queued;
    {
        std::lock_guard lock(mutex_);
        queued.swap(queue_);
        if (urgent)
            for (Job& job : urgent_) queued.push_back(std::move(job));
        if (urgent) urgent_.clear();
    }
    for (const Job& job : queued) job(0);
}

void HeadWorker::BeginStop(Clock::time_point deadline) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = !stopping_;
        if (first) stopDeadline_ = deadline;
        stopping_ = true;
    }
    // Stops already waiting still go out.
    FailQueued(false);
    Signal(wake_);
    if (first && thread_.joinable()) stopGuard_ = std::thread([this] { GuardStop(); });
}

bool HeadWorker::PastStopDeadline() {
    std::lock_guard lock(mutex_);
    return stopping_ && Clock::now() >= stopDeadline_;
}

void HeadWorker::GuardStop() {
    std::unique_lock lock(mutex_);
    if (endedSignal_.wait_until(lock, stopDeadline_, [this] { return ended_; })) return;
    lock.unlock();
    // A TCP head that stays silent would hold the stop for its whole
    // time-out, and whoever waits for it (a stop of motion, say) with it; a
    // serial exchange ends by its own. Later exchanges on this connection
    // end at once, and none starts any more.
    Log(Level::Warn, "head " + name_ + ": the exchange in flight is still waiting at the stop; cutting it short");
    ptz::InterruptExchange(openLink_.load());
}

void HeadWorker::Stop(Clock::time_point deadline) {
    BeginStop(deadline);
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    FailQueued(true);
    Signal(wake_);
    if (!thread_.joinable()) return;
    std::unique_lock lock(mutex_);
    if (!endedSignal_.wait_until(lock, deadline, [this] { return ended_; })) {
        lock.unlock();
        ptz::InterruptExchange(openLink_.load());
    } else {
        lock.unlock();
    }
    thread_.join();
    if (stopGuard_.joinable()) stopGuard_.join();
}

Outcome HeadWorker::Call(const std::function<int32_t(int32_t link)>& command, Lane lane, std::string_view what) {
    // The worker takes a call (kQueued -> kRunning) or its caller withdraws
    // it (kQueued -> kWithdrawn), never both; a running call is waited for,
    // since `command` may refer to its caller's variables.
    enum : int { kQueued, kRunning, kWithdrawn };
    struct Pending {
        std::atomic<int> state{kQueued};
        std::promise<Outcome> done;
    };
    auto pending = std::make_shared<Pending>();
    auto result = pending->done.get_future();
    Job job = [this, command, pending](int32_t link) {
        int queued = kQueued;
        if (!pending->state.compare_exchange_strong(queued, kRunning)) return false;
        if (link == 0 || PastStopDeadline()) {
            pending->done.set_value({kLinkDown, 0, 0});
            return false;
        }
        const auto start = Clock::now();
        Outcome outcome{command(link), 0, 0};
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (outcome.result == PTZ_FAILED) PTZ_LinkLastError(&outcome.kind, &outcome.code);
        if (outcome.result != PTZ_BAD_PARAM) metrics_.Exchange(seconds, outcome.result == PTZ_FAILED, outcome.kind, outcome.code);
        const bool reopen = (outcome.result == PTZ_FAILED && ptz::ConnectionLost(link, outcome.kind, outcome.code)) ||
                            ptz::AnswerMayFollow(link);
        pending->done.set_value(outcome);
        return reopen;
    };
    const bool urgent = lane == Lane::Urgent;
    Clock::time_point deadline = Clock::now() + kMaxWait;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return {kLinkDown, 0, 0};
        if ((urgent ? urgentCallers_ : callers_) >= (urgent ? kMaxUrgent : kMaxCallers)) return {kBusy, 0, 0};
        if (stopping_) deadline = std::min(deadline, stopDeadline_);
        ++(urgent ? urgentCallers_ : callers_);
        (urgent ? urgent_ : queue_).push_back(std::move(job));
    }
    Signal(wake_);
    const Outcome outcome = [&]() -> Outcome {
        if (result.wait_until(deadline) == std::future_status::timeout) {
            int queued = kQueued;
            if (pending->state.compare_exchange_strong(queued, kWithdrawn)) return {kBusy, 0, 0};
        }
        return result.get();
    }();
    {
        std::lock_guard lock(mutex_);
        --(urgent ? urgentCallers_ : callers_);
    }
    if (outcome.result == PTZ_FAILED && !what.empty()) NoteFailure(std::string(what), outcome.kind, outcome.code);
    return outcome;
}

size_t HeadWorker::Waiting(Lane lane) {
    std::lock_guard lock(mutex_);
    return lane == Lane::Urgent ? urgentCallers_ : callers_;
}

std::vector<std::string> HeadWorker::RecentFailures() {
    std::lock_guard lock(mutex_);
    return failures_;
}

void HeadWorker::NoteFailure(const std::string& what, int32_t kind, int32_t code) {
    const std::string line = TimeOfDay() + " " + what + ": kind " + std::to_string(kind) + ", code " +
                             std::to_string(code) + ": " + ErrorText(kind, code);
    Log(Level::Warn, "head " + name_ + ": " + what + " failed: kind " + std::to_string(kind) + ", code " +
                         std::to_string(code) + ": " + ErrorText(kind, code));
    std::lock_guard lock(mutex_);
    failures_.push_back(line);
    if (failures_.size() > 20) failures_.erase(failures_.begin());
}

bool HeadWorker::Open() {
    const std::string& link = linkText_;
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
    openLink_ = handle;
    metrics_.up = true;
    return true;
}

void HeadWorker::Close() {
    openLink_ = 0;
    if (link_ != 0) PTZ_LinkClose(link_);
    link_ = 0;
    metrics_.up = false;
}

void HeadWorker::Reopen() {
    if (link_ != 0 || Clock::now() < nextAttempt_ || PastStopDeadline()) return;
    if (Open()) {
        Log(Level::Info, "head " + name_ + ": link " + linkText_ + " open");
        if (everUp_) ++metrics_.reconnects;
        everUp_ = true;
        reportedDown_ = false;
        backoff_ = std::chrono::milliseconds(250);
        return;
    }
    int32_t kind = 0, code = 0;
    PTZ_LinkLastError(&kind, &code);
    if (!reportedDown_)
        Log(Level::Warn, "head " + name_ + ": cannot open " + linkText_ + ": " + ErrorText(kind, code) +
                             "; trying again with back-off");
    reportedDown_ = true;
    nextAttempt_ = Clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, std::chrono::milliseconds(5000));
}

void HeadWorker::Run(const Job& job) {
    if (!job(link_) || link_ == 0) return;
    // Lost, or an answer is still owed on this connection: a fresh one, so
    // that nothing late can be read as the next exchange's answer.
    Log(Level::Warn, "head " + name_ +
                         (ptz::AnswerMayFollow(link_) ? ": an answer is overdue; opening the link again"
                                                      : ": link lost; reopening"));
    Close();
    nextAttempt_ = Clock::now();
    Reopen();
}

void HeadWorker::Loop() {
    const Runner run = [this](const Job& job) { Run(job); };
    std::vector<pollfd> fds;
    bool serving = frontEnd_ != nullptr;  // the front end accepts and serves
    for (;;) {
        Reopen();
        // Wait for a queued job, a client, or the next attempt to open.
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        int timeout = -1;
        if (serving) frontEnd_->Fds(fds, timeout);
        if (link_ == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now());
            const int wait = static_cast<int>(std::max<int64_t>(0, left.count()) + 1);
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wake_, &count, sizeof count);
        }
        {
            std::lock_guard lock(mutex_);
            if (stopped_) break;
        }
        if (serving && stopping_) {  // stop accepting; clients are closed after the exchange in flight
            frontEnd_->Close();
            serving = false;
        }
        if (serving) frontEnd_->Ready(fds.data() + 1, fds.size() - 1, run);
        // The queued jobs, in arrival order, the urgent ones first (looked
        // for again before each job).
        for (;;) {
            Job job;
            {
                std::lock_guard lock(mutex_);
                if (stopped_) break;
                std::deque<Job>& from = !urgent_.empty() ? urgent_ : queue_;
                if (from.empty()) break;
                job = std::move(from.front());
                from.pop_front();
            }
            Run(job);
        }
    }
    // What is still queued fails at once, as while the head is away.
    FailQueued(true);
    if (serving) frontEnd_->Close();
    Close();
    std::lock_guard lock(mutex_);
    ended_ = true;
    endedSignal_.notify_all();
}

}  // namespace ptzd
