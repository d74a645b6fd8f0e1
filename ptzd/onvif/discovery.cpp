#include "onvif/discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#include "infra/log.h"

#include "onvif/names.h"

namespace ptzd::onvif {

namespace {

constexpr const char* kGroup = "239.255.255.250";
constexpr int kDiscoveryPort = kWsDiscoveryPort;
constexpr const char* kDiscoveryNs = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
constexpr const char* kNetworkNs = "http://www.onvif.org/ver10/network/wsdl";

std::string MessageId() {
    std::random_device random;
    std::uniform_int_distribution<int> hex(0, 15);
    std::string u = "urn:uuid:xxxxxxxx-xxxx-4xxx-8xxx-xxxxxxxxxxxx";
    for (char& c : u)
        if (c == 'x') c = "0123456789abcdef"[hex(random)];
    return u;
}

std::string DiscoveryEnvelope(const std::string& action, const std::string& relatesTo, const std::string& to,
                              const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\">"
           "<s:Header><a:MessageID>" + MessageId() + "</a:MessageID>" +
           (relatesTo.empty() ? "" : "<a:RelatesTo>" + Escape(relatesTo) + "</a:RelatesTo>") + "<a:To>" + to +
           "</a:To><a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/" + action + "</a:Action></s:Header>"
           "<s:Body>" + body + "</s:Body></s:Envelope>";
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
        const size_t start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string::npos) break;
        size_t end = text.find_first_of(" \t\r\n", start);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// The probe's Types: each a QName that must be one of the device's. A
// prefix the probe declares is resolved and its namespace must agree; an
// undeclared or missing prefix is compared by local name alone.
bool TypesMatch(const pugi::xml_node& types) {
    for (const std::string& qname : Words(types.text().get())) {
        const size_t colon = qname.find(':');
        const std::string local = colon == std::string::npos ? qname : qname.substr(colon + 1);
        std::string ns;
        const bool declared = colon != std::string::npos && NamespaceOfPrefix(types, qname.substr(0, colon), ns);
        const bool nvt = local == "NetworkVideoTransmitter" && (!declared || ns == kNetworkNs);
        const bool device = local == "Device" && (!declared || ns == kDevice);
        if (!nvt && !device) return false;
    }
    return true;
}

// A URI cut up for the RFC 3986 prefix rule: scheme and authority (compared
// without case), path segments (percent-decoded, compared exactly).
struct ScopeUri {
    std::string scheme, authority;
    std::vector<std::string> segments;
    bool ok = false;
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string PercentDecoded(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

ScopeUri SplitScope(const std::string& text) {
    ScopeUri u;
    const size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos) return u;
    u.scheme = Lower(text.substr(0, colon));
    std::string rest = text.substr(colon + 1);
    rest = rest.substr(0, rest.find_first_of("?#"));  // query and fragment take no part
    if (rest.rfind("//", 0) == 0) {
        const size_t slash = rest.find('/', 2);
        u.authority = Lower(rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2));
        rest = slash == std::string::npos ? "" : rest.substr(slash);
    }
    std::replace(rest.begin(), rest.end(), '/', ' ');  // segments; empty ones take no part
    for (const std::string& piece : Words(rest)) {
        const std::string segment = PercentDecoded(piece);
        if (segment == "." || segment == "..") return u;
        u.segments.push_back(segment);
    }
    u.ok = true;
    return u;
}

// Every scope of the probe must match one of the device's.
bool ScopesMatch(const pugi::xml_node& scopes, const std::string& deviceScopes) {
    const std::string rule = Words(scopes.attribute("MatchBy").value()).empty()
                                 ? std::string(kDiscoveryNs) + "/rfc3986"
                                 : Words(scopes.attribute("MatchBy").value())[0];
    const bool exact = rule == std::string(kDiscoveryNs) + "/strcmp0";
    if (!exact && rule != std::string(kDiscoveryNs) + "/rfc3986") return false;  // a rule we do not know
    const std::vector<std::string> ours = Words(deviceScopes);
    for (const std::string& wanted : Words(scopes.text().get())) {
        const ScopeUri w = SplitScope(wanted);
        const bool found = std::any_of(ours.begin(), ours.end(), [&](const std::string& mine) {
            if (exact) return mine == wanted;
            const ScopeUri m = SplitScope(mine);
            return w.ok && m.ok && w.scheme == m.scheme && w.authority == m.authority &&
                   w.segments.size() <= m.segments.size() &&
                   std::equal(w.segments.begin(), w.segments.end(), m.segments.begin());
        });
        if (!found) return false;
    }
    return true;
}

bool Loopback(const sockaddr* a) {
    if (a->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr) >> 24) == 127;
    return a->sa_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr);
}

bool SameAddress(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return false;
    if (a->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr == reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    return a->sa_family == AF_INET6 && std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                                                   &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, 16) == 0;
}

std::string Dotted(in_addr a) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace

Discovery::~Discovery() { Stop(); }

void Discovery::FindInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return;
    // Every interface that is up and has an IPv4 address (loopback carries
    // multicast without saying so).
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
        if (!(i->ifa_flags & (IFF_MULTICAST | IFF_LOOPBACK))) continue;
        const unsigned index = ::if_nametoindex(i->ifa_name);
        if (index == 0 || std::any_of(interfaces_.begin(), interfaces_.end(), [&](const Interface& f) { return f.index == index; }))
            continue;
        interfaces_.push_back({index, reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, i->ifa_name,
                               (i->ifa_flags & IFF_LOOPBACK) != 0});
    }
    // Each device on the interfaces of its address: all for a wildcard, the
    // loopback ones for a loopback address, else the one holding it.
    for (Service* s : services_) {
        Device d{s, {}, s->Wildcard()};
        if (!d.everywhere) {
            addrinfo hints{}, *found = nullptr;
            hints.ai_socktype = SOCK_STREAM;
            if (::getaddrinfo(s->Host().c_str(), nullptr, &hints, &found) == 0 && found) {
                for (const Interface& f : interfaces_) {
                    bool holds = Loopback(found->ai_addr) && f.loopback;
                    for (ifaddrs* i = list; i && !holds; i = i->ifa_next)
                        holds = i->ifa_addr && f.name == i->ifa_name && SameAddress(i->ifa_addr, found->ai_addr);
                    if (holds) d.interfaces.push_back(f.index);
                }
                ::freeaddrinfo(found);
            }
            if (d.interfaces.empty())
                Log(Level::Warn, "WS-Discovery: no interface holds " + s->Host() + "; " + s->BaseUrl() + " is not announced");
        }
        devices_.push_back(d);
    }
    ::freeifaddrs(list);
    // Only the interfaces some device is on.
    std::erase_if(interfaces_, [&](const Interface& f) {
        return std::none_of(devices_.begin(), devices_.end(), [&](const Device& d) { return d.Serves(f.index); });
    });
}

void Discovery::Start() {
    FindInterfaces();
    if (interfaces_.empty()) {
        Log(Level::Warn, "WS-Discovery is off: no interface of an ONVIF address");
        return;
    }
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return;
    const int one = 1, zero = 0, ttl = 1;
    ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(socket_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);             // which interface a probe came in on
    ::setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);     // only the groups joined here
    ::setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_LOOP, &one, sizeof one);
    ::setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    // A wildcard device also takes probes sent straight to the port; else
    // only the group's, and only on the interfaces joined below.
    const bool everywhere = std::any_of(devices_.begin(), devices_.end(), [](const Device& d) { return d.everywhere; });
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryPort);
    if (everywhere) local.sin_addr.s_addr = htonl(INADDR_ANY);
    else ::inet_pton(AF_INET, kGroup, &local.sin_addr);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        Log(Level::Warn, "WS-Discovery is off: cannot bind port 3702");
        ::close(socket_);
        socket_ = -1;
        return;
    }
    std::string names;
    std::erase_if(interfaces_, [&](const Interface& f) {
        ip_mreqn group{};
        ::inet_pton(AF_INET, kGroup, &group.imr_multiaddr);
        group.imr_ifindex = static_cast<int>(f.index);
        if (::setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) == 0) {
            names += (names.empty() ? "" : ", ") + f.name;
            return false;
        }
        Log(Level::Warn, "WS-Discovery: cannot join 239.255.255.250 on " + f.name);
        return true;
    });
    if (interfaces_.empty() || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        ::close(socket_);
        socket_ = -1;
        return;
    }
    Announce("Hello");
    thread_ = std::thread([this] { Loop(); });
    Log(Level::Info, "WS-Discovery on 239.255.255.250:3702 (" + names + ")");

}

void Discovery::Stop() {
    if (!thread_.joinable()) return;
    const char c = 's';
    [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &c, 1);
    thread_.join();
    Announce("Bye");
    std::lock_guard lock(sending_);
    ::close(socket_);
    for (int fd : stopPipe_) ::close(fd);
    socket_ = -1;
}

std::string Discovery::XAddr(const Device& d, in_addr local) const {
    if (!d.everywhere) return d.service->BaseUrl() + "/onvif/device_service";
    if (local.s_addr == htonl(INADDR_ANY)) return "";  // never 0.0.0.0
    return d.service->BaseUrlWith(Dotted(local)) + "/onvif/device_service";
}

bool Discovery::Send(const std::string& message, const sockaddr_in& to, const Interface& via, in_addr from) {
    // Out of this interface, from its address: never another one.
    char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec data{const_cast<char*>(message.data()), message.size()};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(&to);
    m.msg_namelen = sizeof to;
    m.msg_iov = &data;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(via.index);
    info.ipi_spec_dst = from;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    if (IN_MULTICAST(ntohl(to.sin_addr.s_addr))) {
        // Multicast leaves by IP_MULTICAST_IF, whatever the packet info says.
        ip_mreqn out{};
        out.imr_ifindex = static_cast<int>(via.index);
        ::setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    }
    return ::sendmsg(socket_, &m, 0) == static_cast<ssize_t>(message.size());
}

void Discovery::Announce(const char* what, const Service* only) {
    std::lock_guard lock(sending_);
    if (socket_ < 0) return;
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kGroup, &group.sin_addr);
    const bool hello = std::string(what) == "Hello";
    for (const Interface& f : interfaces_)
        for (const Device& d : devices_) {
            if (!d.Serves(f.index) || (only ? d.service != only : !d.service->Discoverable())) continue;
            const std::string xaddr = XAddr(d, f.address);
            if (hello && xaddr.empty()) continue;
            const std::string body =
                std::string("<d:") + what + "><a:EndpointReference><a:Address>urn:uuid:" + d.service->Uuid() +
                "</a:Address></a:EndpointReference>" +
                (hello ? "<d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types><d:Scopes>" + Escape(d.service->Scopes()) +
                             "</d:Scopes><d:XAddrs>" + Escape(xaddr) + "</d:XAddrs>"
                       : "") +
                "<d:MetadataVersion>1</d:MetadataVersion></d:" + what + ">";
            Send(DiscoveryEnvelope(what, "", "urn:schemas-xmlsoap-org:ws:2005:04:discovery", body), group, f, f.address);
        }
}

bool Discovery::Allowed(uint32_t source) {
    const int64_t second =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    if (second != second_) {
        second_ = second;
        answered_ = 0;
    }
    if (answered_ >= kProbesPerSecondInAll) return false;
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        if (sources_.size() >= kMaxSources)
            std::erase_if(sources_, [&](const auto& entry) { return entry.second.at != second; });
        if (sources_.size() >= kMaxSources) return false;
        it = sources_.emplace(source, Window{second, 0}).first;
    }
    if (it->second.at != second) it->second = {second, 0};
    if (it->second.probes >= kProbesPerSecond) return false;
    ++it->second.probes;
    ++answered_;
    return true;
}

void Discovery::Loop() {
    char buffer[8192];
    char control[256];
    for (;;) {
        pollfd p[2] = {{socket_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents) return;
        sockaddr_in from{};
        iovec data{buffer, sizeof buffer};
        msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &data;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket_, &m, MSG_DONTWAIT);
        if (n <= 0 || (m.msg_flags & MSG_TRUNC)) continue;
        // The interface it came in on, and our address there.
        const in_pktinfo* info = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
        if (!info) continue;
        const auto via = std::find_if(interfaces_.begin(), interfaces_.end(),
                                      [&](const Interface& f) { return f.index == static_cast<unsigned>(info->ipi_ifindex); });
        if (via == interfaces_.end()) continue;
        const in_addr local = info->ipi_spec_dst.s_addr != htonl(INADDR_ANY) && !IN_MULTICAST(ntohl(info->ipi_spec_dst.s_addr))
                                  ? info->ipi_spec_dst
                                  : via->address;
        Request request;
        if (!Parse(std::string(buffer, static_cast<size_t>(n)), request).empty() || request.name != "Probe" ||
            request.ns != kDiscoveryNs)
            continue;
        const pugi::xml_node types = ChildAnyNs(request.operation, "Types");
        const pugi::xml_node scopes = ChildAnyNs(request.operation, "Scopes");
        std::vector<const Device*> matches;
        for (const Device& d : devices_)
            if (d.Serves(via->index) && d.service->Discoverable() && TypesMatch(types) && ScopesMatch(scopes, d.service->Scopes()) &&
                !XAddr(d, local).empty())
                matches.push_back(&d);
        if (matches.empty() || !Allowed(from.sin_addr.s_addr)) continue;
        const std::string relatesTo = ChildAnyNs(request.header, "MessageID").text().get();
        for (const Device* d : matches) {
            const std::string answer = DiscoveryEnvelope(
                "ProbeMatches", relatesTo, "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous",
                "<d:ProbeMatches><d:ProbeMatch><a:EndpointReference><a:Address>urn:uuid:" + d->service->Uuid() +
                    "</a:Address></a:EndpointReference><d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types>"
                    "<d:Scopes>" + Escape(d->service->Scopes()) + "</d:Scopes><d:XAddrs>" + Escape(XAddr(*d, local)) +
                    "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion></d:ProbeMatch></d:ProbeMatches>");
            Send(answer, from, *via, local);
        }
    }
}

}  // namespace ptzd::onvif
