#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/socket.h"

namespace ptz::platform {

namespace {

thread_local int32_t lastError = 0;

int Fail(int error) {
    lastError = error;
    return -1;
}

}  // namespace

int SocketStartup() { return 0; }
void SocketCleanup() {}

Socket SocketCreateFor(const Address& address) {
    const int fd = ::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail(errno);
        return kInvalidSocket;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

Socket SocketCreate() {
    Address ipv4{};
    ipv4.family = AF_INET;
    return SocketCreateFor(ipv4);
}

int SocketConnectTo(Socket s, const Address& address, int timeoutMs) {
    const int fd = static_cast<int>(s);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.bytes), static_cast<socklen_t>(address.length)) == 0)
        return 0;
    if (errno != EINPROGRESS) return Fail(errno);
    const int ready = SocketWait(s, true, timeoutMs);
    if (ready == 0) return kTimedOut;
    if (ready < 0) return Fail(errno);
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Fail(errno);
    return error == 0 ? 0 : Fail(error);
}

int32_t SocketLastError() { return lastError; }

void SocketShutdown(Socket s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }
void SocketClose(Socket s) { ::close(static_cast<int>(s)); }

int SocketSend(Socket s, const uint8_t* bytes, int count) {
    for (;;) {
        const ssize_t n = ::send(static_cast<int>(s), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : -1;
    }
}

int SocketRecv(Socket s, uint8_t* bytes, int count) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(s), bytes, static_cast<size_t>(count), 0);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : -1;
    }
}

int SocketWait(Socket s, bool forWrite, int timeoutMs) {
    pollfd p{static_cast<int>(s), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (r > 0) return 1;  // readiness, hang-up or error: the next call tells which
        if (r == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

uint32_t MonotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u +
                                 static_cast<uint64_t>(t.tv_nsec) / 1000000u);
}

}  // namespace ptz::platform
