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

Socket SocketCreate() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return static_cast<Socket>(s);
}

int SocketConnect(Socket s, const char* address, int32_t port, int timeoutMs) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    peer.sin_addr.s_addr = inet_addr(address);
    if (connect(S(s), reinterpret_cast<sockaddr*>(&peer), 16) == 0) return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    // select() reports a failed connect in the exception set, which WSAPoll
    // does not do on every Windows version.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(S(s), &writable);
    FD_SET(S(s), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &limit) != 1 || FD_ISSET(S(s), &failed)) return -1;
    return 0;
}

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
