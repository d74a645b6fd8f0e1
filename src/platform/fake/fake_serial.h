// A scriptable serial port for tests: a virtual clock that jumps instead of
// sleeping, a line whose incoming bytes arrive at chosen virtual times, a
// device callback that sees every completed write, any single operation
// made to fail with a chosen OS error, and counts of open ports and events.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/serial_os.h"

namespace ptz::fake {

enum class Op {
    Open, GetLineState, SetLineState, SetupQueues, Purge, Escape, SetEventMask, CancelIo,
    ClearLineError, SetTimeouts, CreateEvent, StartRead, StartWrite, Transfer, Close, Count
};

const char* OpName(Op op);

class FakeSerial final : public platform::SerialOs {
public:
    explicit FakeSerial(uint32_t startTick = 1000);

    // ---- scripting ----
    // The nth call (1-based) of `op` from now on fails with `error`.
    void FailOn(Op op, int32_t error, int nth = 1);
    // Bytes that arrive on the line `afterMs` from now.
    void Deliver(uint32_t afterMs, const std::vector<uint8_t>& bytes);
    // Called after each completed write with the bytes written.
    std::function<void(FakeSerial&, const std::vector<uint8_t>&)> onWrite;
    // Lets virtual time pass outside any call.
    void Advance(uint32_t ms) { clock_ += ms; }
    // Sets the tick count as it reads now (to test the 32-bit wrap).
    void SetTick(uint32_t tick) { startTick_ = tick - static_cast<uint32_t>(clock_); }
    // When >= 0, writes move only this many bytes and then hang.
    int writeStallAfter = -1;

    // ---- observation ----
    uint64_t Now() const { return clock_; }
    std::vector<std::vector<uint8_t>> writes;
    std::vector<std::string> log;  // one line per operation, e.g. "Purge 15"
    int openPorts = 0;
    int openEvents = 0;
    std::string lastDevice;
    platform::LineState lineSet{};
    platform::Timeouts timeouts{};
    int calls[static_cast<int>(Op::Count)] = {};
    size_t pendingInput() const { return arrivals_.size(); }

    // ---- the seam ----
    void PortName(int32_t port, char* name, size_t size) override;
    platform::PortHandle Open(const char* device) override;
    bool GetLineState(platform::PortHandle, platform::LineState* state) override;
    bool SetLineState(platform::PortHandle, const platform::LineState& state) override;
    bool SetupQueues(platform::PortHandle, uint32_t input, uint32_t output) override;
    bool Purge(platform::PortHandle, uint32_t flags) override;
    bool Escape(platform::PortHandle, uint32_t function) override;
    bool SetEventMask(platform::PortHandle, uint32_t mask) override;
    bool CancelIo(platform::PortHandle) override;
    bool ClearLineError(platform::PortHandle) override;
    bool SetTimeouts(platform::PortHandle, const platform::Timeouts& t) override;
    bool CreateTransferEvent(platform::Transfer* transfer) override;
    void CloseTransferEvent(platform::Transfer* transfer) override;
    bool StartRead(platform::PortHandle, platform::Transfer* transfer, uint8_t* bytes, uint32_t count) override;
    bool StartWrite(platform::PortHandle, platform::Transfer* transfer, const uint8_t* bytes,
                    uint32_t count) override;
    platform::TransferState WaitTransfer(platform::PortHandle, platform::Transfer* transfer,
                                         uint32_t waitMs, uint32_t* moved) override;
    void CancelTransfer(platform::PortHandle, platform::Transfer* transfer, uint32_t* moved) override;
    bool Close(platform::PortHandle) override;
    uint32_t TickCount() override;
    int32_t LastError() override { return lastError_; }

private:
    struct Job {
        uint8_t* bytes = nullptr;
        uint32_t count = 0;
        uint32_t moved = 0;
        bool write = false;
    };
    // Counts the call and tells whether it is scripted to fail.
    bool Failing(Op op);
    Job& JobOf(platform::Transfer* transfer);
    void TakeArrived(Job& job);
    void CompleteWrite(Job& job);

    uint64_t clock_ = 0;
    uint32_t startTick_;
    int32_t lastError_ = 0;
    std::deque<std::pair<uint64_t, uint8_t>> arrivals_;  // ordered by time
    std::map<std::pair<Op, int>, int32_t> failures_;     // (op, call number) -> error
    int nextHandle_ = 100;
};

}  // namespace ptz::fake
