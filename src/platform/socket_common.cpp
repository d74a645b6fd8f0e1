// The parts of the socket seam that read the same on every OS: turning a
// dotted IPv4 text or a host name into addresses. Only the headers differ.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstring>

#include "platform/socket.h"

namespace ptz::platform {

int SocketConnect(Socket s, const char* address, int32_t port, int timeoutMs) {
    Address peer{};
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(peer.bytes);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    ipv4->sin_addr.s_addr = inet_addr(address);
    peer.family = AF_INET;
    peer.length = sizeof(sockaddr_in);
    return SocketConnectTo(s, peer, timeoutMs);
}

int SocketResolve(const char* host, int32_t port, Address* addresses, int max) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    char service[16];
    std::snprintf(service, sizeof service, "%d", static_cast<int>(port));
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0) return -1;
    int count = 0;
    for (const addrinfo* a = found; a != nullptr && count < max; a = a->ai_next) {
        if (a->ai_addrlen > sizeof addresses[count].bytes) continue;
        addresses[count].family = a->ai_family;
        addresses[count].length = static_cast<int>(a->ai_addrlen);
        std::memcpy(addresses[count].bytes, a->ai_addr, a->ai_addrlen);
        ++count;
    }
    freeaddrinfo(found);
    return count;
}

}  // namespace ptz::platform
