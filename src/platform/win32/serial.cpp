// Win32 serial backend: each seam operation is the Win32 communications call
// of the same name, with the arguments the port logic gives.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/serial_os.h"

namespace ptz::platform {

namespace {

HANDLE H(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

OVERLAPPED& Overlapped(Transfer* transfer) {
    static_assert(sizeof(OVERLAPPED) <= sizeof(Transfer::native));
    return *reinterpret_cast<OVERLAPPED*>(transfer->native);
}

bool StartsWith(const char* text, const char* prefix) {
    return _strnicmp(text, prefix, std::strlen(prefix)) == 0;
}

class Win32Serial final : public SerialOs {
public:
    void PortName(int32_t port, char* name, size_t size) override {
        std::snprintf(name, size, "\\\\.\\COM%d", static_cast<int>(port));
    }

    PortHandle Open(const char* device) override {
        // "COM12" is reached through the device namespace, as "\\.\COM12" is.
        char name[MAX_PATH];
        if (StartsWith(device, "COM"))
            std::snprintf(name, sizeof name, "\\\\.\\%s", device);
        else
            std::snprintf(name, sizeof name, "%s", device);
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return kInvalidPort;
        return reinterpret_cast<PortHandle>(h);
    }

    bool GetLineState(PortHandle port, LineState* state) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(H(port), &dcb)) return false;
        static_assert(sizeof(DCB) <= sizeof(LineState::native));
        std::memcpy(state->native, &dcb, sizeof dcb);
        state->DCBlength = dcb.DCBlength;
        state->BaudRate = dcb.BaudRate;
        state->ByteSize = dcb.ByteSize;
        state->Parity = dcb.Parity;
        state->StopBits = dcb.StopBits;
        state->fBinary = static_cast<uint8_t>(dcb.fBinary);
        state->fParity = static_cast<uint8_t>(dcb.fParity);
        state->fOutxCtsFlow = static_cast<uint8_t>(dcb.fOutxCtsFlow);
        state->fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
        state->fOutX = static_cast<uint8_t>(dcb.fOutX);
        state->fInX = static_cast<uint8_t>(dcb.fInX);
        return true;
    }

    bool SetLineState(PortHandle port, const LineState& state) override {
        DCB dcb;
        std::memcpy(&dcb, state.native, sizeof dcb);
        dcb.DCBlength = state.DCBlength;
        dcb.BaudRate = state.BaudRate;
        dcb.ByteSize = state.ByteSize;
        dcb.Parity = state.Parity;
        dcb.StopBits = state.StopBits;
        dcb.fBinary = state.fBinary;
        dcb.fParity = state.fParity;
        dcb.fOutxCtsFlow = state.fOutxCtsFlow;
        dcb.fRtsControl = state.fRtsControl;
        dcb.fOutX = state.fOutX;
        dcb.fInX = state.fInX;
        return SetCommState(H(port), &dcb) != FALSE;
    }

    bool SetupQueues(PortHandle port, uint32_t input, uint32_t output) override {
        return SetupComm(H(port), input, output) != FALSE;
    }
    bool Purge(PortHandle port, uint32_t flags) override { return PurgeComm(H(port), flags) != FALSE; }
    bool Escape(PortHandle port, uint32_t function) override {
        return EscapeCommFunction(H(port), function) != FALSE;
    }
    bool SetEventMask(PortHandle port, uint32_t mask) override { return SetCommMask(H(port), mask) != FALSE; }
    bool CancelIo(PortHandle port) override { return ::CancelIo(H(port)) != FALSE; }

    bool ClearLineError(PortHandle port) override {
        DWORD errors = 0;
        COMSTAT status{};
        return ClearCommError(H(port), &errors, &status) != FALSE;
    }

    bool SetTimeouts(PortHandle port, const Timeouts& t) override {
        COMMTIMEOUTS c{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                       t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
        return SetCommTimeouts(H(port), &c) != FALSE;
    }

    bool CreateTransferEvent(Transfer* transfer) override {
        OVERLAPPED& ov = Overlapped(transfer);
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return ov.hEvent != nullptr;
    }

    void CloseTransferEvent(Transfer* transfer) override { CloseHandle(Overlapped(transfer).hEvent); }

    bool StartRead(PortHandle port, Transfer* transfer, uint8_t* bytes, uint32_t count) override {
        DWORD moved = 0;
        return ReadFile(H(port), bytes, count, &moved, &Overlapped(transfer)) != FALSE;
    }

    bool StartWrite(PortHandle port, Transfer* transfer, const uint8_t* bytes, uint32_t count) override {
        DWORD moved = 0;
        return WriteFile(H(port), bytes, count, &moved, &Overlapped(transfer)) != FALSE;
    }

    TransferState WaitTransfer(PortHandle port, Transfer* transfer, uint32_t waitMs,
                               uint32_t* moved) override {
        OVERLAPPED& ov = Overlapped(transfer);
        WaitForSingleObject(ov.hEvent, waitMs);
        DWORD count = 0;
        if (GetOverlappedResult(H(port), &ov, &count, FALSE)) {
            *moved = count;
            return TransferState::Ended;
        }
        return GetLastError() == ERROR_IO_INCOMPLETE ? TransferState::Running : TransferState::Failed;
    }

    void CancelTransfer(PortHandle port, Transfer* transfer, uint32_t* moved) override {
        OVERLAPPED& ov = Overlapped(transfer);
        ::CancelIo(H(port));
        DWORD count = 0;
        GetOverlappedResult(H(port), &ov, &count, TRUE);  // wait for its end
        *moved = static_cast<uint32_t>(ov.InternalHigh);
    }

    bool Close(PortHandle port) override { return CloseHandle(H(port)) != FALSE; }
    uint32_t TickCount() override { return GetTickCount(); }
    int32_t LastError() override { return static_cast<int32_t>(GetLastError()); }
};

}  // namespace

void SystemErrorText(int32_t code, char* text, size_t size) {
    text[0] = '\0';
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0,
                   text, static_cast<DWORD>(size), nullptr);
    for (char* end = text + std::strlen(text); end > text && (end[-1] == '\n' || end[-1] == '\r');) *--end = '\0';
}

SerialOs& PlatformSerialOs() {
    static Win32Serial platformSerial;
    return platformSerial;
}

}  // namespace ptz::platform
