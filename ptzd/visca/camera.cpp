#include "visca/camera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "infra/log.h"
#include "ptz.h"

namespace ptzd::visca {

namespace {

constexpr int kMaxPanSpeed = 0x18;
constexpr int kMaxTiltSpeed = 0x17;
constexpr int kPresets = 16;  // memories 0-15 are the head's presets 1-16
// Beyond the move's own estimate: how long a completion may still take.
constexpr double kCompletionSlackSeconds = 30;

uint8_t ErrorFor(motion::Status status) {
    switch (status) {
    case motion::Status::Busy:
        return kBufferFull;
    case motion::Status::Superseded:
        return kCanceled;
    default:
        return kNotExecutable;  // the link is down, the head refused, or nothing a head can do
    }
}

// A 7-bit value of some text, for the version answer's model field.
uint8_t Fold(const char* text, size_t length, int salt) {
    unsigned h = 2166136261u + static_cast<unsigned>(salt);
    for (size_t i = 0; i < length && text[i] != '\0'; ++i) h = (h ^ static_cast<uint8_t>(text[i])) * 16777619u;
    return static_cast<uint8_t>(h & 0x7F);
}

}  // namespace

Camera::Camera(motion::Motion& motion, CameraConfig config)
    : motion_(motion), config_(config) {
    motion_.Watch();  // inquiries want the position as it is, not as it was
    executor_ = std::thread([this] { Run(); });
}

Camera::~Camera() {
    Clear();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    executor_.join();
    for (auto& w : waiters_)
        if (w.joinable()) w.join();
    motion_.Unwatch();
}

int32_t Camera::ToUnits(double degrees) const {
    const double units = std::round(degrees * config_.unitsPerDegree);
    return static_cast<int32_t>(std::clamp(units, -32768.0, 32767.0));
}

void Camera::Handle(std::span<const uint8_t> bytes, const Reply& reply, Counters& counters) {
    ++counters.messages;
    const Message m = Parse(bytes);
    if (m.kind == Kind::Invalid) {
        // Messages for another camera of a chain are not ours to answer.
        if (bytes.size() >= 3 && bytes.back() == 0xFF && (bytes[0] & 0xF0) == 0x80 && (bytes[0] & 0x0F) >= 2 &&
            (bytes[0] & 0x0F) <= 7)
            return;
        ++counters.syntax;
        return reply(Error(0, kSyntaxError));
    }
    switch (m.kind) {
    case Kind::AddressSet:
        return reply({0x88, 0x30, 0x02, 0xFF});  // one camera: it takes address 1, the next one is 2
    case Kind::IfClear:
        Clear();
        if (m.address == 8) return reply({0x88, 0x01, 0x00, 0x01, 0xFF});
        return reply(Completion(0));
    case Kind::Cancel: {
        std::unique_lock lock(mutex_);
        if (m.socket < 1 || m.socket > 2 || !sockets_[m.socket].busy) {
            lock.unlock();
            return reply(Error(m.socket, kNoSocket));
        }
        Socket& s = sockets_[m.socket];
        if (s.move != 0) jobs_.push_back(Job{});  // stop the move it waits for, on the executor
        s = Socket{};
        lock.unlock();
        wake_.notify_all();
        ++counters.canceled;
        return reply(Error(m.socket, kCanceled));
    }
    default:
        break;
    }
    if (m.inquiry() || m.kind == Kind::NotExecutable) {
        if (m.kind == Kind::NotExecutable && bytes.size() > 2 && bytes[1] == 0x01) {
            // A command: accepted into a socket, then found impossible for a head.
            std::unique_lock lock(mutex_);
            int socket = sockets_[1].busy ? (sockets_[2].busy ? 0 : 2) : 1;
            lock.unlock();
            if (socket == 0) {
                ++counters.bufferFull;
                return reply(Error(0, kBufferFull));
            }
            ++counters.notExecutable;
            reply(Ack(socket));
            return reply(Error(socket, kNotExecutable));
        }
        return Inquire(m, reply, counters);
    }
    // A command for the head: a socket, the ACK, then the executor.
    std::unique_lock lock(mutex_);
    const int socket = !sockets_[1].busy ? 1 : !sockets_[2].busy ? 2 : 0;
    if (socket == 0 || stopping_) {
        lock.unlock();
        ++counters.bufferFull;
        return reply(Error(0, kBufferFull));
    }
    Socket& s = sockets_[socket];
    s.busy = true;
    s.ticket = ++tickets_;
    s.move = 0;
    s.reply = reply;
    s.counters = &counters;
    reply(Ack(socket));
    jobs_.push_back({socket, m, reply, &counters});
    lock.unlock();
    wake_.notify_all();
}

void Camera::Inquire(const Message& m, const Reply& reply, Counters& counters) {
    // Right after the start the first reading may still be on its way: a
    // position inquiry waits for it (briefly) instead of failing.
    const motion::Snapshot state =
        m.kind == Kind::InquirePosition ? motion_.FirstReading(std::chrono::seconds(1)) : motion_.State();
    std::vector<uint8_t> data;
    switch (m.kind) {
    case Kind::InquirePosition:
        if (!state.linkUp || !state.known) {
            ++counters.notExecutable;
            return reply(Error(0, kNotExecutable));
        }
        PutNibbles(data, ToUnits(state.pan));
        PutNibbles(data, ToUnits(state.tilt));
        break;
    case Kind::InquirePower:
        data = {0x02};  // on
        break;
    case Kind::InquireMaxSpeed:
        data = {kMaxPanSpeed, kMaxTiltSpeed};
        break;
    case Kind::InquireStatus:
        // 0p 0q 0r 0s: s bit 2 while the head moves, bit 0 once it is still
        // (pan/tilt "in motion" and "completed"); the rest normal.
        data = {0x00, 0x00, 0x00, static_cast<uint8_t>(state.moving ? 0x04 : 0x01)};
        break;
    case Kind::InquireVersion: {
        // Vendor 0000 (none claimed), a model folded from the head's first
        // system text, its version's major and minor number, 2 sockets: from
        // the identity the motion layer read at link-up (waiting briefly for
        // it right after the start).
        const motion::Motion::Identity id = motion_.WaitIdentity(std::chrono::seconds(2));
        if (!id.known) {
            ++counters.notExecutable;
            return reply(Error(0, kNotExecutable));
        }
        int major = 0, minor = 0;
        std::sscanf(id.firmware.c_str(), "%d.%d", &major, &minor);
        data = {0x00, 0x00, Fold(id.model.c_str(), id.model.size(), 0), Fold(id.model.c_str(), id.model.size(), 1),
                static_cast<uint8_t>(major & 0x7F), static_cast<uint8_t>(minor & 0x7F), 0x02};
        break;
    }
    default:  // an inquiry of a camera's (zoom, focus, ...): nothing a head knows
        ++counters.notExecutable;
        return reply(Error(0, kNotExecutable));
    }
    reply(Completion(0, data));
}

void Camera::Clear() {
    {
        std::lock_guard lock(mutex_);
        bool moving = false;
        for (int i = 1; i <= 2; ++i) {
            moving = moving || sockets_[i].move != 0;
            sockets_[i] = Socket{};
        }
        jobs_.clear();
        if (moving) jobs_.push_back(Job{});  // stop the moves they waited for
    }
    wake_.notify_all();
}

bool Camera::Release(int socket, uint64_t ticket) {
    std::lock_guard lock(mutex_);
    Socket& s = sockets_[socket];
    if (!s.busy || s.ticket != ticket) return false;
    s = Socket{};
    return true;
}

void Camera::Fail(const Job& job, uint8_t code) {
    std::unique_lock lock(mutex_);
    Socket& s = sockets_[job.socket];
    if (!s.busy || s.ticket == 0) return;
    s = Socket{};
    lock.unlock();
    if (code == kCanceled) ++job.counters->canceled;
    else if (code == kBufferFull) ++job.counters->bufferFull;
    else ++job.counters->notExecutable;
    job.reply(Error(job.socket, code));
}

void Camera::Run() {
    for (;;) {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        if (job.socket == 0) {  // a canceled or cleared move: the head stops
            motion_.Stop();
            continue;
        }
        Execute(job);
    }
}

void Camera::Execute(Job& job) {
    const Message& m = job.message;
    uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (!sockets_[job.socket].busy) return;  // canceled or cleared while it waited
        ticket = sockets_[job.socket].ticket;
    }
    motion::Result r;
    bool waits = false;  // completed when the head is still again
    const double panShare = static_cast<double>(m.panSpeed) / kMaxPanSpeed;
    const double tiltShare = static_cast<double>(m.tiltSpeed) / kMaxTiltSpeed;
    switch (m.kind) {
    case Kind::Drive:
        if (m.panDirection == 0 && m.tiltDirection == 0) r = motion_.Stop();
        else r = motion_.Continuous(m.panDirection * panShare, m.tiltDirection * tiltShare);
        break;
    case Kind::Absolute:
        r = motion_.Absolute(FromUnits(m.pan), FromUnits(m.tilt), motion::Pace{panShare, {}, tiltShare});
        waits = true;
        break;
    case Kind::Relative:
        r = motion_.Relative(FromUnits(m.pan), FromUnits(m.tilt), motion::Pace{panShare, {}, tiltShare});
        waits = true;
        break;
    case Kind::Home:
        r = motion_.Absolute(0.0, 0.0);
        waits = true;
        break;
    case Kind::Reset:
        // The head's own home position; a head that has none stored goes
        // to where a camera's reset goes, 0 and 0 degrees.
        r = motion_.Home();
        if (r.status == motion::Status::HeadFailed) r = motion_.Absolute(0.0, 0.0);
        waits = true;
        break;
    case Kind::MemoryReset:
    case Kind::MemorySet:
    case Kind::MemoryRecall:
        if (m.memory >= kPresets) return Fail(job, kNotExecutable);
        if (m.kind == Kind::MemoryReset) r = motion_.RemovePreset(m.memory + 1);
        else if (m.kind == Kind::MemorySet) r = motion_.StorePreset(m.memory + 1, "");
        else {
            r = motion_.GoPreset(m.memory + 1);
            waits = true;
        }
        break;
    default:
        return Fail(job, kNotExecutable);
    }
    if (!r.ok()) return Fail(job, ErrorFor(r.status));
    if (!waits) {
        if (Release(job.socket, ticket)) job.reply(Completion(job.socket));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        Socket& s = sockets_[job.socket];
        if (s.busy && s.ticket == ticket) s.move = r.move;
        else ticket = 0;
    }
    if (ticket == 0) {  // canceled or cleared while the head took the move: stop it
        motion_.Stop();
        return;
    }
    // The socket's last wait has given it up, so it ends (a move that was
    // canceled or cleared was stopped, which ends its wait). Only this thread
    // starts waits.
    std::thread& waiter = waiters_[job.socket];
    if (waiter.joinable()) waiter.join();
    waiter = std::thread([this, socket = job.socket, ticket, move = r.move, seconds = r.seconds] {
        Wait(socket, ticket, move, seconds);
    });
}

void Camera::Wait(int socket, uint64_t ticket, uint64_t move, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>((seconds * 2 + kCompletionSlackSeconds) * 1000));
    const bool finished = motion_.WaitFinished(move, deadline);
    Reply reply;
    Counters* counters = nullptr;
    {
        std::lock_guard lock(mutex_);
        Socket& s = sockets_[socket];
        if (!s.busy || s.ticket != ticket) return;  // canceled or cleared: already answered
        reply = s.reply;
        counters = s.counters;
        s = Socket{};
    }
    if (finished) return reply(Completion(socket));
    // A newer command took the head, or it never came to rest in time.
    const bool superseded = motion_.State().generation != move;
    if (superseded) ++counters->canceled;
    else ++counters->notExecutable;
    reply(Error(socket, superseded ? kCanceled : kNotExecutable));
}

}  // namespace ptzd::visca
