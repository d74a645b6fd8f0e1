// The socket seam: the few BSD/Winsock calls the TCP link needs. One source
// per OS implements it; the logic above (open, exchange) is written once.
// Sockets are non-blocking once created, so every wait has a deadline.
#pragma once

#include <cstdint>

namespace ptz::platform {

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;
constexpr int kWouldBlock = -2;
constexpr int kTimedOut = -3;

// One resolved peer address, whatever its family.
struct Address {
    int family;
    int length;
    alignas(8) unsigned char bytes[128];
};
constexpr int kMaxAddresses = 16;

// Starts the socket library (WSAStartup 2.0 on Windows). 0 on success.
int SocketStartup();
// Stops it again (WSACleanup on Windows).
void SocketCleanup();
// An IPv4 stream socket with TCP_NODELAY, non-blocking; kInvalidSocket on failure.
Socket SocketCreate();
// The same for the family of `address`.
Socket SocketCreateFor(const Address& address);
// Connects to the dotted IPv4 text and the low 16 bits of `port`; waits at
// most `timeoutMs`. 0 on success, kTimedOut, or -1 (SocketLastError says why).
int SocketConnect(Socket s, const char* address, int32_t port, int timeoutMs);
// The same for a resolved address.
int SocketConnectTo(Socket s, const Address& address, int timeoutMs);
// Resolves a host name or a numeric IPv4/IPv6 address with `port` into up to
// `max` addresses: their count, or -1 (SocketLastError says why).
int SocketResolve(const char* host, int32_t port, Address* addresses, int max);
// The OS error number of the calling thread's last failed socket call.
int32_t SocketLastError();
// Shuts down both directions.
void SocketShutdown(Socket s);
void SocketClose(Socket s);
// Bytes sent (> 0), kWouldBlock, or -1 on error. Never raises SIGPIPE.
int SocketSend(Socket s, const uint8_t* bytes, int count);
// Bytes received (> 0), 0 when the peer has closed, kWouldBlock, or -1 on error.
int SocketRecv(Socket s, uint8_t* bytes, int count);
// Waits until the socket is writable (or readable): 1 ready, 0 time-out, -1 error.
int SocketWait(Socket s, bool forWrite, int timeoutMs);
// Milliseconds on a monotonic clock.
uint32_t MonotonicMs();

}  // namespace ptz::platform
