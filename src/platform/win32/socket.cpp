// Winsock backend of the socket seam.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>


#include "platform/socket.h"

namespace ptz::platform {

namespace {
SOCKET S(Socket s) { return static_cast<SOCKET>(s); }
}  // namespace

int SocketStartup() {
    WSADATA data;
    return WSAStartup(0x0002, &data) == 0 ? 0 : -1;
}

void SocketCleanup() { WSACleanup(); }

Socket SocketCreateFor(const Address& address) {
    const SOCKET s = socket(address.family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return static_cast<Socket>(s);
}

Socket SocketCreate() {
    Address ipv4{};
    ipv4.family = AF_INET;
    return SocketCreateFor(ipv4);
}

int SocketConnectTo(Socket s, const Address& address, int timeoutMs) {
    if (connect(S(s), reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    // select() reports a failed connect in the exception set, which WSAPoll
    // does not do on every Windows version.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(S(s), &writable);
    FD_SET(S(s), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, nullptr, &writable, &failed, &limit);
    if (r == 0) return kTimedOut;
    if (r != 1) return -1;
    if (FD_ISSET(S(s), &failed)) {
        int error = 0;
        int length = sizeof error;
        getsockopt(S(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
        return -1;
    }
    return 0;
}

int32_t SocketLastError() { return WSAGetLastError(); }

void SocketShutdown(Socket s) { shutdown(S(s), SD_BOTH); }
void SocketClose(Socket s) { closesocket(S(s)); }

int SocketSend(Socket s, const uint8_t* bytes, int count) {
    const int n = send(S(s), reinterpret_cast<const char*>(bytes), count, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

int SocketRecv(Socket s, uint8_t* bytes, int count) {
    const int n = recv(S(s), reinterpret_cast<char*>(bytes), count, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

int SocketWait(Socket s, bool forWrite, int timeoutMs) {
    // No exception set here: on a connected socket it signals out-of-band
    // data, which recv never consumes, so select would return at once until
    // the deadline. A failed connection shows as readable or writable.
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    if (timeoutMs < 0) timeoutMs = 0;
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &limit);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;  // readiness or failure: the next call tells which
}

uint32_t MonotonicMs() { return static_cast<uint32_t>(GetTickCount64()); }

}  // namespace ptz::platform
