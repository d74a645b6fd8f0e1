// The serial seam: the operations of a serial port that the port logic needs,
// each mirroring one Win32 communications call. The Win32 backend passes
// straight through; the POSIX backend maps them onto termios; the fake
// backend (tests) scripts them on a virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ptz::platform {

using PortHandle = std::intptr_t;
constexpr PortHandle kInvalidPort = -1;

// Purge flags.
constexpr uint32_t kPurgeTxAbort = 0x01;
constexpr uint32_t kPurgeRxAbort = 0x02;
constexpr uint32_t kPurgeTxClear = 0x04;
constexpr uint32_t kPurgeRxClear = 0x08;
constexpr uint32_t kPurgeAll = 0x0F;
// Escape functions.
constexpr uint32_t kSetDtr = 5;
constexpr uint32_t kClrDtr = 6;
// The "transfer continues in the background" error number.
constexpr int32_t kIoPending = 997;

// The line settings the port logic writes; `native` carries whatever else the
// backend read from the port, so SetLineState changes only these fields.
struct LineState {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    uint8_t fBinary;
    uint8_t fParity;
    uint8_t fOutxCtsFlow;
    uint8_t fRtsControl;
    uint8_t fOutX;
    uint8_t fInX;
    alignas(8) unsigned char native[128];
};

struct Timeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// One overlapped transfer: its record and event, backend-owned.
struct Transfer {
    alignas(8) unsigned char native[96];
};

enum class TransferState { Ended, Running, Failed };

class SerialOs {
public:
    virtual ~SerialOs() = default;
    // The device name of port number `port` (Windows "\\.\COM3").
    virtual void PortName(int32_t port, char* name, size_t size) = 0;
    // Opens the device exclusively for overlapped reading and writing.
    virtual PortHandle Open(const char* device) = 0;
    virtual bool GetLineState(PortHandle port, LineState* state) = 0;
    virtual bool SetLineState(PortHandle port, const LineState& state) = 0;
    virtual bool SetupQueues(PortHandle port, uint32_t input, uint32_t output) = 0;
    virtual bool Purge(PortHandle port, uint32_t flags) = 0;
    virtual bool Escape(PortHandle port, uint32_t function) = 0;
    virtual bool SetEventMask(PortHandle port, uint32_t mask) = 0;
    virtual bool CancelIo(PortHandle port) = 0;
    virtual bool ClearLineError(PortHandle port) = 0;
    virtual bool SetTimeouts(PortHandle port, const Timeouts& timeouts) = 0;
    // Creates the transfer's manual-reset event.
    virtual bool CreateTransferEvent(Transfer* transfer) = 0;
    virtual void CloseTransferEvent(Transfer* transfer) = 0;
    // Start a transfer: true when it ended at once; false with LastError()
    // kIoPending while it runs on, any other error when it failed.
    virtual bool StartRead(PortHandle port, Transfer* transfer, uint8_t* bytes, uint32_t count) = 0;
    virtual bool StartWrite(PortHandle port, Transfer* transfer, const uint8_t* bytes,
                            uint32_t count) = 0;
    // Waits up to `waitMs` for the transfer to end; `moved` is its byte count
    // once it has ended.
    virtual TransferState WaitTransfer(PortHandle port, Transfer* transfer, uint32_t waitMs,
                                       uint32_t* moved) = 0;
    // Cancels a running transfer and waits for its end, so nothing of it
    // outlives the call; `moved` is what it moved before it stopped.
    virtual void CancelTransfer(PortHandle port, Transfer* transfer, uint32_t* moved) = 0;
    virtual bool Close(PortHandle port) = 0;
    // Milliseconds since some fixed moment, wrapping at 2^32.
    virtual uint32_t TickCount() = 0;
    // The calling thread's last OS error number.
    virtual int32_t LastError() = 0;
};

// The operating system's own text for one of its error numbers.
void SystemErrorText(int32_t code, char* text, size_t size);

// The active backend: the platform's own unless a test installed another.
SerialOs& Serial();
void InstallSerialOs(SerialOs* os);  // nullptr restores the platform's own
SerialOs& PlatformSerialOs();

}  // namespace ptz::platform
