// The socket seam: the few BSD/Winsock calls the TCP link needs. One source
// per OS implements it; the logic above (open, exchange) is written once.
// Sockets are non-blocking once created, so every wait has a deadline.
#pragma once

#include <cstdint>

namespace ptz::platform {

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;
constexpr int kWouldBlock = -2;

// Starts the socket library (WSAStartup 2.0 on Windows). 0 on success.
int SocketStartup();
// Stops it again (WSACleanup on Windows).
void SocketCleanup();
// An IPv4 stream socket with TCP_NODELAY, non-blocking; kInvalidSocket on failure.
Socket SocketCreate();
// Connects to the dotted IPv4 text and the low 16 bits of `port`; waits at
// most `timeoutMs`. 0 on success.
int SocketConnect(Socket s, const char* address, int32_t port, int timeoutMs);
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
