#include "serial/com.h"

#include <cstring>

#include "ptz.h"

namespace ptz {

using platform::Serial;

void RecordOsError(Failure& failure) { failure.Set(PTZ_ERRKIND_OS, Serial().LastError()); }

namespace {

int32_t FailAndClose(SerialPort& port, Failure& failure) {
    RecordOsError(failure);
    Serial().Close(port.handle);
    port.handle = platform::kInvalidPort;
    return PTZ_ERR_OS_CALL;
}

}  // namespace

int32_t ComOpen(SerialPort& port, int32_t number, Failure& failure) {
    char name[kPortNameSize];
    Serial().PortName(number, name, sizeof name);
    return ComOpenDevice(port, name, failure);
}

int32_t ComOpenDevice(SerialPort& port, const char* device, Failure& failure) {
    auto& os = Serial();
    port.handle = os.Open(device);
    if (port.handle == platform::kInvalidPort) {
        RecordOsError(failure);
        return PTZ_ERR_OS_CALL;
    }
    platform::LineState line{};
    // Without the port's current settings there is nothing sound to build on.
    if (!os.GetLineState(port.handle, &line)) return FailAndClose(port, failure);
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
    if (!os.SetLineState(port.handle, line)) return FailAndClose(port, failure);
    if (!os.SetupQueues(port.handle, kQueueSize, kQueueSize)) return FailAndClose(port, failure);
    if (!os.Purge(port.handle, platform::kPurgeAll)) return FailAndClose(port, failure);
    if (!os.Escape(port.handle, platform::kSetDtr)) return FailAndClose(port, failure);
    return 0;
}

int32_t ComClose(SerialPort& port, Failure& failure) {
    auto& os = Serial();
    if (!os.CancelIo(port.handle)) RecordOsError(failure);
    if (!os.SetEventMask(port.handle, 0)) RecordOsError(failure);
    if (!os.Escape(port.handle, platform::kClrDtr)) RecordOsError(failure);
    if (!os.Purge(port.handle, platform::kPurgeAll)) RecordOsError(failure);
    if (!os.Close(port.handle)) RecordOsError(failure);
    port.handle = platform::kInvalidPort;
    return 0;
}

namespace {

enum class Direction { Read, Write };

// One timed overlapped transfer. The wait is on the transfer itself, the
// deadline is elapsed time since the start (immune to the tick wrap), a
// transfer still running at the deadline is cancelled and waited for, and
// one the OS reports as failed ends the wait at once.
int32_t ComTransfer(SerialPort& port, Direction direction, uint8_t* bytes, int32_t byteCount,
                    uint32_t timeoutMs, Failure& failure) {
    auto& os = Serial();
    const platform::PortHandle handle = port.handle;
    if (!os.ClearLineError(handle)) {
        RecordOsError(failure);
        return PTZ_ERR_OS_CALL;
    }
    const platform::Timeouts timeouts{0xFFFF, 0, timeoutMs, 0, timeoutMs};
    if (!os.SetTimeouts(handle, timeouts)) {
        RecordOsError(failure);
        return PTZ_ERR_OS_CALL;
    }
    platform::Transfer transfer{};
    if (!os.CreateTransferEvent(&transfer)) {
        RecordOsError(failure);
        return PTZ_ERR_OS_CALL;
    }
    uint32_t moved = 0;
    const auto count = static_cast<uint32_t>(byteCount);
    const bool ended = direction == Direction::Read
                           ? os.StartRead(handle, &transfer, bytes, count)
                           : os.StartWrite(handle, &transfer, bytes, count);
    if (!ended && os.LastError() != platform::kIoPending) {
        RecordOsError(failure);
        os.CloseTransferEvent(&transfer);
        return PTZ_ERR_OS_CALL;
    }
    const uint32_t start = os.TickCount();
    for (;;) {
        const uint32_t elapsed = os.TickCount() - start;
        const uint32_t wait = elapsed > timeoutMs ? 0 : timeoutMs - elapsed + 1;
        const platform::TransferState state = os.WaitTransfer(handle, &transfer, wait, &moved);
        if (state == platform::TransferState::Ended) break;
        if (state == platform::TransferState::Failed) {
            RecordOsError(failure);
            os.CloseTransferEvent(&transfer);
            return PTZ_ERR_OS_CALL;
        }
        if (os.TickCount() - start > timeoutMs) {
            os.CancelTransfer(handle, &transfer, &moved);
            break;
        }
    }
    os.CloseTransferEvent(&transfer);
    if (moved != count) return PTZ_ERR_TIMEOUT;
    if (direction == Direction::Write && !os.Purge(handle, platform::kPurgeTxClear)) {
        RecordOsError(failure);
        return PTZ_ERR_OS_CALL;
    }
    return 0;
}

}  // namespace

int32_t ComRead(SerialPort& port, uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs, Failure& failure) {
    return ComTransfer(port, Direction::Read, bytes, byteCount, timeoutMs, failure);
}

int32_t ComWrite(SerialPort& port, const uint8_t* bytes, int32_t byteCount, uint32_t timeoutMs,
                 Failure& failure) {
    // The write path never stores through the pointer.
    return ComTransfer(port, Direction::Write, const_cast<uint8_t*>(bytes), byteCount, timeoutMs, failure);
}

}  // namespace ptz
