#include "infra/net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

#include "infra/log.h"

namespace ptzd {

bool ParseAddress(const std::string& text, Address& address) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const int value = std::stoi(port);
    if (value < 0 || value > 65535) return false;
    address.host = host;
    address.port = value;
    return true;
}


int BindSocket(const Address& address, int type) {
    sockaddr_in6 a6{};
    sockaddr_in a4{};
    const bool ipv6 = address.host.find(':') != std::string::npos;
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(static_cast<uint16_t>(address.port));
    a4.sin_family = AF_INET;
    a4.sin_port = htons(static_cast<uint16_t>(address.port));
    if ((ipv6 ? ::inet_pton(AF_INET6, address.host.c_str(), &a6.sin6_addr)
              : ::inet_pton(AF_INET, address.host.c_str(), &a4.sin_addr)) != 1) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr* sa = ipv6 ? reinterpret_cast<const sockaddr*>(&a6) : reinterpret_cast<const sockaddr*>(&a4);
    if (::bind(fd, sa, ipv6 ? sizeof a6 : sizeof a4) != 0 || (type == SOCK_STREAM && ::listen(fd, 1024) != 0)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string PeerText(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (peer.ss_family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

std::string SourceOf(const sockaddr_storage& peer) {
    const std::string text = PeerText(peer);
    return text.substr(0, text.rfind(':'));
}

size_t SourceCounts::CapFor(size_t portCap, size_t configured) {
    if (configured == kPerSourceOff) return portCap;
    if (configured == kPerSourceAuto) configured = portCap / 4 * 3 + portCap % 4 * 3 / 4;
    return std::max<size_t>(1, std::min(configured, portCap > 1 ? portCap - 1 : 1));
}

size_t SourceCounts::Setting(int64_t configured) {
    if (configured < 0) return kPerSourceAuto;
    if (configured == 0) return kPerSourceOff;
    return static_cast<size_t>(configured);
}

bool SourceCounts::Add(const std::string& source) {
    std::lock_guard lock(mutex_);
    size_t& n = counts_[source];
    if (n >= cap_) return false;
    ++n;
    return true;
}

void SourceCounts::Remove(const std::string& source) {
    std::lock_guard lock(mutex_);
    const auto it = counts_.find(source);
    if (it == counts_.end()) return;
    if (--it->second == 0) counts_.erase(it);
}

void Acceptor::Accept(int listenFd, const Take& take, const Refuse& refuse, int burst) {
    for (int n = 0; n < burst; ++n) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors (EMFILE, ENFILE) or memory: the connection
            // stays pending and would wake every poll at once.
            const auto now = Clock::now();
            resumeAt_ = now + pause_;
            ++failed_;
            ++failedSinceLog_;
            if (now - lastFailureLog_ >= std::chrono::seconds(1)) {
                Log(Level::Warn, what_ + ": cannot accept a client: " + std::strerror(errno) + "; the port rests for " +
                                     std::to_string(pause_.count()) + " ms at a time (" +
                                     std::to_string(failedSinceLog_) + " since the last report)");
                lastFailureLog_ = now;
                failedSinceLog_ = 0;
            }
            return;
        }
        const std::string why = take(fd, peer);
        if (why.empty()) continue;
        if (refuse) refuse(fd);
        else ::close(fd);
        ++refused_;
        ++refusedSinceLog_;
        const auto now = Clock::now();
        if (now - lastRefusalLog_ < std::chrono::seconds(1)) continue;
        Log(Level::Warn, what_ + ": client " + PeerText(peer) + " refused: " + why + " (" +
                             std::to_string(refusedSinceLog_) + " refused since the last report)");
        lastRefusalLog_ = now;
        refusedSinceLog_ = 0;
    }
}

}  // namespace ptzd
