// One head as a VISCA camera (address 1) with two command sockets: commands
// are acknowledged at once and completed when the motion layer has carried
// them out (moves to a position or a preset: when the head is still again);
// inquiries are answered from the motion layer's shared state. Transports
// (UDP with the VISCA over IP header, plain TCP) hand whole messages in and
// get the replies back through a callback, which may be called later, from
// another thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "motion/motion.h"
#include "visca/codec.h"

namespace ptzd::visca {

struct CameraConfig {
    double unitsPerDegree = 14.4;  // VISCA position units per degree (170 degrees = 0x0990)
};

// Counts per transport, for /metrics.
struct Counters {
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> syntax{0};         // syntax errors and malformed datagrams
    std::atomic<uint64_t> bufferFull{0};
    std::atomic<uint64_t> canceled{0};
    std::atomic<uint64_t> notExecutable{0};
    std::atomic<uint64_t> sequence{0};       // UDP: a sequence number or message type refused
    std::atomic<uint64_t> refused{0};        // connections or peers over the cap, over-long input
};

class Camera {
public:
    using Reply = std::function<void(std::vector<uint8_t>)>;

    Camera(motion::Motion& motion, CameraConfig config);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // One whole message, from its address byte to FF. Every reply for it
    // goes to `reply` (the ACK and errors at once, a completion maybe later).
    void Handle(std::span<const uint8_t> message, const Reply& reply, Counters& counters);
    // Cancels what the sockets hold (IF_Clear, and at shutdown); no more
    // completions are sent for them.
    void Clear();

    // The head's position in VISCA units (saturated to 16 bits).
    int32_t ToUnits(double degrees) const;
    double FromUnits(int32_t units) const { return units / config_.unitsPerDegree; }

private:
    struct Job {
        int socket = 0;
        Message message;
        Reply reply;
        Counters* counters = nullptr;
    };
    struct Socket {
        bool busy = false;
        uint64_t ticket = 0;  // which command holds it
        uint64_t move = 0;    // the motion layer's move it waits for (0: none)
        Reply reply;
        Counters* counters = nullptr;
    };

    void Inquire(const Message& m, const Reply& reply, Counters& counters);
    void Run();                     // the executor thread
    void Execute(Job& job);
    void Wait(int socket, uint64_t ticket, uint64_t move, double seconds);
    // Frees the socket if `ticket` still holds it; true when it did.
    bool Release(int socket, uint64_t ticket);
    void Fail(const Job& job, uint8_t code);

    motion::Motion& motion_;
    CameraConfig config_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::array<Socket, 3> sockets_{};  // 1 and 2
    uint64_t tickets_ = 0;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread executor_;
    std::array<std::thread, 3> waiters_;  // one per socket, waiting for its move to finish
};

}  // namespace ptzd::visca
