// Small socket helpers the gateway's own listeners share.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <sys/socket.h>


namespace ptzd {

// A listening address: an IP literal (or, before the configuration is
// checked, a name) and a port.
struct Address {
    std::string host;
    int port = 0;
    std::string where = {};  // where it was given ("site.toml:3", "--http"), for messages
};

// Parses "HOST:PORT" ("[::1]:PORT" for IPv6); syntax only.
bool ParseAddress(const std::string& text, Address& address);

// A non-blocking, close-on-exec socket of `type` (SOCK_STREAM: listening;
// SOCK_DGRAM) bound to an IP literal and port; -1 with errno set.
int BindSocket(const Address& address, int type);
// "127.0.0.1:5000", "::1:5000".
std::string PeerText(const sockaddr_storage& peer);
// The address alone: "127.0.0.1", "::1".
std::string SourceOf(const sockaddr_storage& peer);

// A port's connections per source address, so that one address never
// holds every place of a port: at most `cap` from one address.
class SourceCounts {
public:
    explicit SourceCounts(size_t cap) : cap_(cap) {}
    // The per-source cap for a port of `portCap` places: `configured`, kept
    // below the port's cap (but at least 1); 0: none (the port's cap).
    static size_t CapFor(size_t portCap, size_t configured);
    // Counts a connection from `source`; false (nothing counted) when that
    // address holds `cap` already.
    bool Add(const std::string& source);
    void Remove(const std::string& source);
    size_t cap() const { return cap_; }

private:
    const size_t cap_;
    std::mutex mutex_;
    std::unordered_map<std::string, size_t> counts_;
};

}  // namespace ptzd
