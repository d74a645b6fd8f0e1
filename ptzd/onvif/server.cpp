#include "onvif/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "listener.h"
#include "log.h"

namespace ptzd::onvif {

namespace {

ListenerLimits Limits(const OnvifConfig& config) {
    ListenerLimits limits;
    limits.maxConnections = static_cast<size_t>(config.maxConnections);
    return limits;
}

constexpr const char* kSoapType = "application/soap+xml; charset=utf-8";

}  // namespace

Server::Server(HeadWorker& head, const OnvifConfig& config, const std::string& stateFile)
    : config_(config),
      service_(head, config, stateFile),
      http_(std::make_unique<Listener>("ONVIF " + head.config().name, Limits(config),
                                       Fault("Receiver", "", "too many connections; try again"), kSoapType)) {
    http_->set_payload_max_length(kMaxRequest);  // larger bodies are refused before they are read
    auto handle = [this](const httplib::Request& req, httplib::Response& res) {
        std::string answer;
        res.status = service_.Handle(req.body, answer, req.get_header_value("Host"));
        res.set_content(answer, kSoapType);
    };
    for (const char* path : {"/onvif/device_service", "/onvif/media_service", "/onvif/ptz_service"})
        http_->Post(path, handle);
    http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        // httplib refused the request itself, maybe before reading its body.
        if (res.status == 400 || res.status == 413 || res.status == 414) Listener::CloseAfterAnswer();
        res.set_content(Fault("Sender", res.status == 413 ? "ter:WellFormed" : "ter:ActionNotSupported",
                              res.status == 413 ? "the request is too large" : "no such service"),
                        kSoapType);
    });
    // A fault without the exception's text (httplib would send it in a header).
    http_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Log(Level::Error, "ONVIF: a request ended in an exception");
        res.headers.clear();
        res.status = 500;
        res.set_content(Fault("Receiver", "", "internal error"), kSoapType);
    });
}

Server::~Server() { http_->Join(); }

bool Server::Listen() {
    if (!http_->Bind(config_.address)) return false;
    Log(Level::Info, "ONVIF device service on " + service_.BaseUrl() + "/onvif/device_service");
    return true;
}

void Server::Start() { http_->Start(); }

// ---- WS-Discovery -------------------------------------------------------------------

namespace {

constexpr const char* kGroup = "239.255.255.250";
constexpr int kDiscoveryPort = 3702;

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

}  // namespace

Discovery::~Discovery() { Stop(); }

bool Discovery::Start() {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return false;
    const int one = 1;
    ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kDiscoveryPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq group{};
    ::inet_pton(AF_INET, kGroup, &group.imr_multiaddr);
    group.imr_interface.s_addr = htonl(INADDR_ANY);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
        Log(Level::Warn, "WS-Discovery is off: cannot join 239.255.255.250:3702");
        ::close(socket_);
        socket_ = -1;
        return false;
    }
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return false;
    Announce("Hello");
    thread_ = std::thread([this] { Loop(); });
    Log(Level::Info, "WS-Discovery on 239.255.255.250:3702");
    return true;
}

void Discovery::Stop() {
    if (!thread_.joinable()) return;
    const char c = 's';
    [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &c, 1);
    thread_.join();
    Announce("Bye");
    ::close(socket_);
    for (int fd : stopPipe_) ::close(fd);
    socket_ = -1;
}

void Discovery::Announce(const char* what) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kGroup, &group.sin_addr);
    for (Service* s : services_) {
        const bool hello = std::string(what) == "Hello";
        const std::string body = std::string("<d:") + what + "><a:EndpointReference><a:Address>urn:uuid:" + s->Uuid() +
                                 "</a:Address></a:EndpointReference>" +
                                 (hello ? "<d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types><d:Scopes>" +
                                              Escape(s->Scopes()) + "</d:Scopes><d:XAddrs>" + s->BaseUrl() +
                                              "/onvif/device_service</d:XAddrs>"
                                        : "") +
                                 "<d:MetadataVersion>1</d:MetadataVersion></d:" + what + ">";
        const std::string message =
            DiscoveryEnvelope(what, "", "urn:schemas-xmlsoap-org:ws:2005:04:discovery", body);
        ::sendto(socket_, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    }
}

std::string Discovery::Match(const std::string& probe, Service& service, const std::string& relatesTo) {
    // Types asked for: none, or the device's own (by local name).
    Request request;
    if (!Parse(probe, request).empty() || request.name != "Probe") return "";
    const std::string types = ChildAnyNs(request.operation, "Types").text().get();
    for (size_t at = 0; at < types.size();) {
        size_t end = types.find_first_of(" \t\r\n", at);
        if (end == std::string::npos) end = types.size();
        const std::string type = LocalName(types.substr(at, end - at).c_str());
        if (!type.empty() && type != "NetworkVideoTransmitter" && type != "Device") return "";
        at = end + 1;
    }
    return DiscoveryEnvelope("ProbeMatches", relatesTo, "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous",
                             "<d:ProbeMatches><d:ProbeMatch><a:EndpointReference><a:Address>urn:uuid:" + service.Uuid() +
                                 "</a:Address></a:EndpointReference><d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types>"
                                 "<d:Scopes>" + Escape(service.Scopes()) + "</d:Scopes><d:XAddrs>" + service.BaseUrl() +
                                 "/onvif/device_service</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion></d:ProbeMatch>"
                                 "</d:ProbeMatches>");
}

void Discovery::Loop() {
    char buffer[8192];
    for (;;) {
        pollfd p[2] = {{socket_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents) return;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n <= 0) continue;
        const std::string probe(buffer, static_cast<size_t>(n));
        Request request;
        if (!Parse(probe, request).empty() || request.name != "Probe") continue;
        const std::string relatesTo = ChildAnyNs(request.header, "MessageID").text().get();
        for (Service* s : services_) {
            const std::string answer = Match(probe, *s, relatesTo);
            if (!answer.empty())
                ::sendto(socket_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
}

}  // namespace ptzd::onvif
