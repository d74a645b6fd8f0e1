// POSIX serial backend: termios in raw 8N1, exclusive open, transfers as
// non-blocking reads and writes waited for with poll().
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/serial_os.h"

namespace ptz::platform {

namespace {

thread_local int32_t lastError = 0;

bool Fail() {
    lastError = errno;
    return false;
}

int Fd(PortHandle port) { return static_cast<int>(port); }

struct PosixTransfer {
    uint8_t* bytes;
    uint32_t count;
    uint32_t moved;
    bool write;
};
static_assert(sizeof(PosixTransfer) <= sizeof(Transfer::native));

PosixTransfer& State(Transfer* transfer) {
    return *reinterpret_cast<PosixTransfer*>(transfer->native);
}

// Moves what can be moved without blocking. false on an error (lastError set).
bool Pump(int fd, PosixTransfer& t) {
    while (t.moved < t.count) {
        const ssize_t n = t.write ? ::write(fd, t.bytes + t.moved, t.count - t.moved)
                                  : ::read(fd, t.bytes + t.moved, t.count - t.moved);
        if (n > 0) {
            t.moved += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0) return true;  // a raw terminal read with nothing waiting
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return Fail();
    }
    return true;
}

// A modem-control request that a device without modem lines (a pseudo-
// terminal) does not support counts as done; every other failure is one.
bool ModemLines(int fd, unsigned long request, int lines) {
    if (::ioctl(fd, request, &lines) == 0) return true;
    if (errno == ENOTTY || errno == EINVAL) return true;
    return Fail();
}

class PosixSerial final : public SerialOs {
public:
    void PortName(int32_t port, char* name, size_t size) override {
        // COM1 is ttyS0. Numbers below 1 name no device and fail as a missing port.
        std::snprintf(name, size, "/dev/ttyS%lld", static_cast<long long>(port) - 1);
    }

    PortHandle Open(const char* device) override {
        const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            Fail();
            return kInvalidPort;
        }
        // Exclusive, as a Windows port opened without sharing: an advisory
        // lock against other processes and descriptors, TIOCEXCL against
        // plain opens by other programs.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            lastError = (errno == EWOULDBLOCK) ? EBUSY : errno;
            ::close(fd);
            return kInvalidPort;
        }
        ::ioctl(fd, TIOCEXCL);
        return fd;
    }

    bool GetLineState(PortHandle port, LineState* state) override {
        // The port logic sets every named field itself; only the port's own
        // settings are kept, so the rest of them survive the open.
        termios tio{};
        if (::tcgetattr(Fd(port), &tio) != 0) return Fail();
        static_assert(sizeof(termios) <= sizeof(LineState::native));
        std::memcpy(state->native, &tio, sizeof tio);
        return true;
    }

    bool SetLineState(PortHandle port, const LineState& state) override {
        termios tio{};
        std::memcpy(&tio, state.native, sizeof tio);
        if (state.fBinary) {
            // Every byte 0x00-0xFF passes unchanged: nothing translated,
            // swallowed, echoed or turned into a signal.
            tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
            tio.c_oflag &= ~OPOST;
            tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
            tio.c_cc[VMIN] = 0;
            tio.c_cc[VTIME] = 0;
        }
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~CSIZE;
        tio.c_cflag |= state.ByteSize == 8 ? CS8 : CS7;
        tio.c_cflag &= ~(PARENB | PARODD);
        if (state.Parity == 1) tio.c_cflag |= PARENB | PARODD;
        if (state.Parity == 2) tio.c_cflag |= PARENB;
        if (state.StopBits == 2) tio.c_cflag |= CSTOPB; else tio.c_cflag &= ~CSTOPB;
        if (state.fParity) tio.c_iflag |= INPCK; else tio.c_iflag &= ~INPCK;
        if (state.fOutxCtsFlow) tio.c_cflag |= CRTSCTS; else tio.c_cflag &= ~CRTSCTS;
        if (state.fOutX) tio.c_iflag |= IXON; else tio.c_iflag &= ~IXON;
        if (state.fInX) tio.c_iflag |= IXOFF; else tio.c_iflag &= ~IXOFF;
        tio.c_iflag &= ~IXANY;
        // The head's line runs at 38400 baud only.
        if (state.BaudRate != 38400) {
            errno = EINVAL;
            return Fail();
        }
        ::cfsetispeed(&tio, B38400);
        ::cfsetospeed(&tio, B38400);
        if (::tcsetattr(Fd(port), TCSANOW, &tio) != 0) return Fail();
        if (state.fRtsControl == 0) return ModemLines(Fd(port), TIOCMBIC, TIOCM_RTS);
        return true;
    }

    bool SetupQueues(PortHandle, uint32_t, uint32_t) override { return true; }

    bool Purge(PortHandle port, uint32_t flags) override {
        const int fd = Fd(port);
        const bool input = flags & (kPurgeRxAbort | kPurgeRxClear);
        // A finished write has only reached the driver. Aborting discards
        // output; clearing after a write waits until it has gone out, so no
        // request is ever thrown away unsent.
        if (flags & kPurgeTxAbort) {
            if (::tcflush(fd, input ? TCIOFLUSH : TCOFLUSH) != 0) return Fail();
            return true;
        }
        if (input && ::tcflush(fd, TCIFLUSH) != 0) return Fail();
        if ((flags & kPurgeTxClear) && ::tcdrain(fd) != 0) return Fail();
        return true;
    }

    bool Escape(PortHandle port, uint32_t function) override {
        if (function == kSetDtr) return ModemLines(Fd(port), TIOCMBIS, TIOCM_DTR);
        if (function == kClrDtr) return ModemLines(Fd(port), TIOCMBIC, TIOCM_DTR);
        errno = EINVAL;
        return Fail();
    }

    bool SetEventMask(PortHandle, uint32_t) override { return true; }
    bool CancelIo(PortHandle) override { return true; }
    bool ClearLineError(PortHandle) override { return true; }
    bool SetTimeouts(PortHandle, const Timeouts&) override { return true; }
    bool CreateTransferEvent(Transfer* transfer) override {
        State(transfer) = {};
        return true;
    }
    void CloseTransferEvent(Transfer*) override {}

    bool StartRead(PortHandle port, Transfer* transfer, uint8_t* bytes, uint32_t count) override {
        return Start(port, transfer, bytes, count, false);
    }
    bool StartWrite(PortHandle port, Transfer* transfer, const uint8_t* bytes, uint32_t count) override {
        return Start(port, transfer, const_cast<uint8_t*>(bytes), count, true);
    }

    TransferState WaitTransfer(PortHandle port, Transfer* transfer, uint32_t waitMs,
                               uint32_t* moved) override {
        PosixTransfer& t = State(transfer);
        if (t.moved < t.count) {
            pollfd p{Fd(port), static_cast<short>(t.write ? POLLOUT : POLLIN), 0};
            const int r = ::poll(&p, 1, static_cast<int>(waitMs > 60000 ? 60000 : waitMs));
            if (r < 0 && errno != EINTR) {
                Fail();
                return TransferState::Failed;
            }
            const uint32_t before = t.moved;
            if (r > 0 && !Pump(Fd(port), t)) return TransferState::Failed;
            if (r > 0 && t.moved == before && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                // The line has gone (device unplugged, other side closed).
                errno = EIO;
                Fail();
                return TransferState::Failed;
            }
        }
        *moved = t.moved;
        return t.moved == t.count ? TransferState::Ended : TransferState::Running;
    }

    void CancelTransfer(PortHandle, Transfer* transfer, uint32_t* moved) override {
        // Nothing runs in the background here: the transfer stops where it is.
        *moved = State(transfer).moved;
    }

    bool Close(PortHandle port) override {
        ::ioctl(Fd(port), TIOCNXCL);
        if (::close(Fd(port)) != 0) return Fail();
        return true;
    }

    uint32_t TickCount() override {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u +
                                     static_cast<uint64_t>(t.tv_nsec) / 1000000u);
    }

    int32_t LastError() override { return lastError; }

private:
    bool Start(PortHandle port, Transfer* transfer, uint8_t* bytes, uint32_t count, bool write) {
        PosixTransfer& t = State(transfer);
        t = {bytes, count, 0, write};
        if (!Pump(Fd(port), t)) return false;
        if (t.moved == t.count) return true;
        lastError = kIoPending;
        return false;
    }
};

}  // namespace

void SystemErrorText(int32_t code, char* text, size_t size) {
    // The GNU strerror_r may return a static text instead of filling ours.
    const char* message = strerror_r(code, text, size);
    if (message != text) std::snprintf(text, size, "%s", message);
}

SerialOs& PlatformSerialOs() {
    static PosixSerial platformSerial;
    return platformSerial;
}

}  // namespace ptz::platform
