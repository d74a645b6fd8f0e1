#include "onvif/server.h"

#include <httplib.h>

#include "infra/listener.h"
#include "infra/log.h"

#include "onvif/names.h"

namespace ptzd::onvif {

namespace {

ListenerLimits Limits(const OnvifConfig& config) {
    ListenerLimits limits;
    limits.maxConnections = static_cast<size_t>(config.maxConnections);
    limits.perSource = SourceCounts::Setting(config.maxConnectionsPerSource);
    return limits;
}

constexpr const char* kSoapType = "application/soap+xml; charset=utf-8";

}  // namespace

Server::Server(motion::Motion& motion, const OnvifConfig& config, const std::string& stateFile)
    : name_("ONVIF " + motion.name()),
      config_(config),
      service_(motion, config, stateFile),
      digest_(config.user, config.password),
      extras_(std::make_unique<Extras>(motion.name(), config, &motion)),
      http_(std::make_unique<Listener>("ONVIF " + motion.name(), Limits(config),
                                       Fault("Receiver", "", "too many connections; try again"), kSoapType)) {
    http_->set_payload_max_length(kMaxRequest);  // larger bodies are refused before they are read
    service_.notify = [this](const std::string&) { extras_->events().ConfigurationChanged(kPtzConfig); };
    extras_->discoverable = [this] { return service_.Discoverable(); };
    extras_->setDiscoverable = [this](bool on) { return service_.SetDiscoverable(on); };
    extras_->Register(service_.operations());
    auto handle = [this](const httplib::Request& req, httplib::Response& res) {
        // HTTP Digest beside WS-Security: the service accepts a request
        // either one authenticated; one that has neither is told how.
        auto digest = DigestAuth::Verdict::None;
        if (!config_.user.empty() || !config_.password.empty())
            digest = digest_.Check(req.get_header_value("Authorization"), req.method, req.target);
        std::string answer;
        res.status = service_.Handle(req.body, answer, req.get_header_value("Host"), req.path,
                                     digest == DigestAuth::Verdict::Accepted);
        if (res.status == 400 && answer.find("ter:NotAuthorized") != std::string::npos &&
            (digest != DigestAuth::Verdict::None || req.body.find("UsernameToken") == std::string::npos)) {
            res.status = 401;
            for (const std::string& c : digest_.Challenges(digest == DigestAuth::Verdict::Stale))
                res.headers.emplace("WWW-Authenticate", c);
        }
        res.set_content(answer, kSoapType);
    };
    for (const char* path : {"/onvif/device_service", "/onvif/media_service", "/onvif/ptz_service", Extras::kEventsPath,
                             Extras::kMedia2Path, "/onvif/pullpoint/[0-9a-z-]{1,40}"})
        http_->Post(path, handle);
    http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        // httplib refused the request itself, maybe before reading its body.
        if (res.status == 400 || res.status == 413 || res.status == 414) Listener::CloseAfterAnswer();
        // No such service is the device's lack (Receiver); anything else the request's fault.
        const bool missing = res.status == 404 || res.status == 405;
        res.set_content(Fault(missing ? "Receiver" : "Sender", res.status == 413 ? "ter:WellFormed" : "ter:ActionNotSupported",
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

void Server::BeginStop() {
    service_.StopAll();
    http_->Shutdown();
}

void Server::Join() { http_->Join(); }

}  // namespace ptzd::onvif
