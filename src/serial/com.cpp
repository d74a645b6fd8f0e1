#include "serial/com.h"

#include <cstring>

#include "link/link.h"

namespace ptz {

using platform::Serial;

platform::PortHandle ComHandle = platform::kInvalidPort;
uint8_t SerialTransmitCopy[256];
uint8_t SerialReceiveScratch[256];

void ResetComHandle() { ComHandle = platform::kInvalidPort; }

void RecordOsError() { SetLastError(PTZ_ERRKIND_OS, Serial().LastError()); }

namespace {

int32_t FailAndClose() {
    RecordOsError();
    Serial().Close(ComHandle);
    ComHandle = platform::kInvalidPort;
    return PTZ_ERR_OS_CALL;
}

}  // namespace

int32_t ComOpen(int32_t port) {
    char name[kPortNameSize];
    Serial().PortName(port, name, sizeof name);
    return ComOpenDevice(name);
}

int32_t ComOpenDevice(const char* device) {
    auto& os = Serial();
    ComHandle = os.Open(device);
    if (ComHandle == platform::kInvalidPort) {
        RecordOsError();
        return PTZ_ERR_OS_CALL;
    }
    platform::LineState line{};
    // Without the port's current settings there is nothing sound to build on.
    if (!os.GetLineState(ComHandle, &line)) return FailAndClose();
    line.DCBlength = 28;
    line.BaudRate = 38400;
    line.ByteSize = 8;
    line.Parity = 0;    // no parity
    line.StopBits = 0;  // one stop bit
    line.fBinary = 1;
    line.fParity = 0;
    line.fOutxCtsFlow = 0;
    line.fRtsControl = 0;  // RTS held inactive
    line.fOutX = 0;
    line.fInX = 0;
    if (!os.SetLineState(ComHandle, line)) return FailAndClose();
    if (!os.SetupQueues(ComHandle, kQueueSize, kQueueSize)) return FailAndClose();
    if (!os.Purge(ComHandle, platform::kPurgeAll)) return FailAndClose();
    if (!os.Escape(ComHandle, platform::kSetDtr)) return FailAndClose();
    return 0;
}

int32_t ComClose() {
    auto& os = Serial();
    if (!os.CancelIo(ComHandle)) RecordOsError();
    if (!os.SetEventMask(ComHandle, 0)) RecordOsError();
    if (!os.Escape(ComHandle, platform::kClrDtr)) RecordOsError();
    if (!os.Purge(ComHandle, platform::kPurgeAll)) RecordOsError();
    if (!os.Close(ComHandle)) RecordOsError();
    ComHandle = platform::kInvalidPort;
    return 0;
}

namespace {

enum class Direction { Read, Write };

// One timed overlapped transfer. The wait is on the transfer itself, the
// deadline is elapsed time since the start (immune to the tick wrap), a
// transfer still running at the deadline is cancelled and waited for, and
// one the OS reports as failed ends the wait at once.
int32_t ComTransfer(Direction direction, uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs) {
    auto& os = Serial();
    if (!os.ClearLineError(ComHandle)) {
        RecordOsError();
        return PTZ_ERR_OS_CALL;
    }
    const platform::Timeouts timeouts{0xFFFF, 0, timeoutMs, 0, timeoutMs};
    if (!os.SetTimeouts(ComHandle, timeouts)) {
        RecordOsError();
        return PTZ_ERR_OS_CALL;
    }
    platform::Transfer transfer{};
    if (!os.CreateTransferEvent(&transfer)) {
        RecordOsError();
        return PTZ_ERR_OS_CALL;
    }
    uint32_t moved = 0;
    const auto count = static_cast<uint32_t>(byteCount);
    const bool ended = direction == Direction::Read
                           ? os.StartRead(ComHandle, &transfer, bytes, count)
                           : os.StartWrite(ComHandle, &transfer, bytes, count);
    if (!ended && os.LastError() != platform::kIoPending) {
        RecordOsError();
        os.CloseTransferEvent(&transfer);
        return PTZ_ERR_OS_CALL;
    }
    const uint32_t start = os.TickCount();
    for (;;) {
        const uint32_t elapsed = os.TickCount() - start;
        const uint32_t wait = elapsed > timeoutMs ? 0 : timeoutMs - elapsed + 1;
        const platform::TransferState state = os.WaitTransfer(ComHandle, &transfer, wait, &moved);
        if (state == platform::TransferState::Ended) break;
        if (state == platform::TransferState::Failed) {
            RecordOsError();
            os.CloseTransferEvent(&transfer);
            return PTZ_ERR_OS_CALL;
        }
        if (os.TickCount() - start > timeoutMs) {
            os.CancelTransfer(ComHandle, &transfer, &moved);
            break;
        }
    }
    os.CloseTransferEvent(&transfer);
    if (moved != count) return PTZ_ERR_TIMEOUT;
    if (direction == Direction::Write && !os.Purge(ComHandle, platform::kPurgeTxClear)) {
        RecordOsError();
        return PTZ_ERR_OS_CALL;
    }
    return 0;
}

}  // namespace

int32_t ComRead(uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs) {
    return ComTransfer(Direction::Read, bytes, byteCount, timeoutMs);
}

int32_t ComWrite(const uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs) {
    // The write path never stores through the pointer.
    return ComTransfer(Direction::Write, const_cast<uint8_t*>(bytes), byteCount, timeoutMs);
}

}  // namespace ptz
