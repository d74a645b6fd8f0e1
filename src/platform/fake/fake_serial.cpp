#include "platform/fake/fake_serial.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ptz::fake {

using platform::TransferState;

const char* OpName(Op op) {
    static const char* names[] = {"Open", "GetLineState", "SetLineState", "SetupQueues", "Purge",
                                  "Escape", "SetEventMask", "CancelIo", "ClearLineError",
                                  "SetTimeouts", "CreateEvent", "StartRead", "StartWrite",
                                  "Transfer", "Close"};
    return names[static_cast<int>(op)];
}

FakeSerial::FakeSerial(uint32_t startTick) : startTick_(startTick) {}

void FakeSerial::FailOn(Op op, int32_t error, int nth) {
    failures_[{op, calls[static_cast<int>(op)] + nth}] = error;
}

void FakeSerial::Deliver(uint32_t afterMs, const std::vector<uint8_t>& bytes) {
    const uint64_t at = clock_ + afterMs;
    for (uint8_t b : bytes) {
        auto it = std::upper_bound(arrivals_.begin(), arrivals_.end(), at,
                                   [](uint64_t t, const auto& a) { return t < a.first; });
        arrivals_.insert(it, {at, b});
    }
}

bool FakeSerial::Failing(Op op) {
    const int n = ++calls[static_cast<int>(op)];
    const auto it = failures_.find({op, n});
    if (it == failures_.end()) return false;
    lastError_ = it->second;
    log.push_back(std::string(OpName(op)) + " failed");
    return true;
}

FakeSerial::Job& FakeSerial::JobOf(platform::Transfer* transfer) {
    static_assert(sizeof(Job) <= sizeof(transfer->native));
    return *reinterpret_cast<Job*>(transfer->native);
}

void FakeSerial::TakeArrived(Job& job) {
    while (job.moved < job.count && !arrivals_.empty() && arrivals_.front().first <= clock_) {
        job.bytes[job.moved++] = arrivals_.front().second;
        arrivals_.pop_front();
    }
}

void FakeSerial::CompleteWrite(Job& job) {
    std::vector<uint8_t> bytes(job.bytes, job.bytes + job.moved);
    writes.push_back(bytes);
    if (onWrite) onWrite(*this, bytes);
}

void FakeSerial::PortName(int32_t port, char* name, size_t size) {
    std::snprintf(name, size, "\\\\.\\COM%d", static_cast<int>(port));
}

platform::PortHandle FakeSerial::Open(const char* device) {
    lastDevice = device;
    log.push_back(std::string("Open ") + device);
    if (Failing(Op::Open)) return platform::kInvalidPort;
    ++openPorts;
    return nextHandle_++;
}

bool FakeSerial::GetLineState(platform::PortHandle, platform::LineState* state) {
    if (Failing(Op::GetLineState)) return false;
    std::memset(state, 0, sizeof *state);
    state->BaudRate = 9600;
    state->ByteSize = 7;
    state->Parity = 2;
    state->fOutX = state->fInX = 1;
    state->fOutxCtsFlow = 1;
    state->fRtsControl = 1;
    std::memset(state->native, 0xA5, sizeof state->native);  // "the other fields"
    return true;
}

bool FakeSerial::SetLineState(platform::PortHandle, const platform::LineState& state) {
    if (Failing(Op::SetLineState)) return false;
    lineSet = state;
    return true;
}

bool FakeSerial::SetupQueues(platform::PortHandle, uint32_t input, uint32_t output) {
    log.push_back("SetupQueues " + std::to_string(input) + " " + std::to_string(output));
    return !Failing(Op::SetupQueues);
}

bool FakeSerial::Purge(platform::PortHandle, uint32_t flags) {
    log.push_back("Purge " + std::to_string(flags));
    if (Failing(Op::Purge)) return false;
    if (flags & platform::kPurgeRxClear)
        while (!arrivals_.empty() && arrivals_.front().first <= clock_) arrivals_.pop_front();
    return true;
}

bool FakeSerial::Escape(platform::PortHandle, uint32_t function) {
    log.push_back(function == platform::kSetDtr ? "SetDtr" : "ClrDtr");
    return !Failing(Op::Escape);
}

bool FakeSerial::SetEventMask(platform::PortHandle, uint32_t mask) {
    log.push_back("SetEventMask " + std::to_string(mask));
    return !Failing(Op::SetEventMask);
}

bool FakeSerial::CancelIo(platform::PortHandle) {
    log.push_back("CancelIo");
    return !Failing(Op::CancelIo);
}

bool FakeSerial::ClearLineError(platform::PortHandle) { return !Failing(Op::ClearLineError); }

bool FakeSerial::SetTimeouts(platform::PortHandle, const platform::Timeouts& t) {
    if (Failing(Op::SetTimeouts)) return false;
    timeouts = t;
    return true;
}

bool FakeSerial::CreateTransferEvent(platform::Transfer* transfer) {
    if (Failing(Op::CreateEvent)) return false;
    JobOf(transfer) = {};
    ++openEvents;
    return true;
}

void FakeSerial::CloseTransferEvent(platform::Transfer*) { --openEvents; }

bool FakeSerial::StartRead(platform::PortHandle, platform::Transfer* transfer, uint8_t* bytes,
                           uint32_t count) {
    log.push_back("Read " + std::to_string(count));
    if (Failing(Op::StartRead)) return false;
    Job& job = JobOf(transfer);
    job = {bytes, count, 0, false};
    TakeArrived(job);
    if (job.moved == job.count) return true;
    lastError_ = platform::kIoPending;
    return false;
}

bool FakeSerial::StartWrite(platform::PortHandle, platform::Transfer* transfer, const uint8_t* bytes,
                            uint32_t count) {
    log.push_back("Write " + std::to_string(count));
    if (Failing(Op::StartWrite)) return false;
    Job& job = JobOf(transfer);
    job = {const_cast<uint8_t*>(bytes), count, count, true};
    if (writeStallAfter >= 0 && static_cast<uint32_t>(writeStallAfter) < count) {
        job.moved = static_cast<uint32_t>(writeStallAfter);
        lastError_ = platform::kIoPending;
        return false;
    }
    CompleteWrite(job);
    return true;
}

TransferState FakeSerial::WaitTransfer(platform::PortHandle, platform::Transfer* transfer,
                                       uint32_t waitMs, uint32_t* moved) {
    if (Failing(Op::Transfer)) return TransferState::Failed;
    Job& job = JobOf(transfer);
    const uint64_t until = clock_ + waitMs;
    if (!job.write) {
        for (;;) {
            TakeArrived(job);
            if (job.moved == job.count) break;
            if (arrivals_.empty() || arrivals_.front().first > until) break;
            clock_ = arrivals_.front().first;
        }
    }
    *moved = job.moved;
    if (job.moved == job.count) return TransferState::Ended;
    clock_ = until;
    return TransferState::Running;
}

void FakeSerial::CancelTransfer(platform::PortHandle, platform::Transfer* transfer, uint32_t* moved) {
    log.push_back("Cancel");
    *moved = JobOf(transfer).moved;
}

bool FakeSerial::Close(platform::PortHandle) {
    log.push_back("Close");
    --openPorts;  // the handle is gone even when closing reports an error
    return !Failing(Op::Close);
}

uint32_t FakeSerial::TickCount() { return static_cast<uint32_t>(startTick_ + clock_); }

}  // namespace ptz::fake
