// One head as an ONVIF device: the device, media and PTZ services (SOAP 1.2
// over HTTP), answered from schema-ordered templates with the head's values
// filled in, the head's commands run on its worker.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "auth.h"
#include "head_worker.h"
#include "soap.h"

namespace ptzd::onvif {

// The names of presets 1-16, kept in a small JSON file (written atomically).
class PresetNames {
public:
    explicit PresetNames(std::string file);
    std::string Get(int preset);  // "" when the slot is free
    void Set(int preset, const std::string& name);
    void Remove(int preset);
    int FirstFree();

private:
    void Save();
    std::string file_;
    std::mutex mutex_;
    std::array<std::string, 17> names_;
};

class Service {
public:
    // `stateFile` keeps the preset names ("" keeps them in memory only).
    Service(HeadWorker& head, const OnvifConfig& config, const std::string& stateFile);
    ~Service();

    // Answers one request body: the HTTP status and the response envelope.
    // `host` is the request's Host header (what the service addresses in
    // the answers are made of); empty: the configured address.
    int Handle(const std::string& body, std::string& response, const std::string& host = "");
    // The address clients reach the services at.
    std::string BaseUrl() const;
    const std::string& Uuid() const { return uuid_; }
    std::string Scopes() const;  // space-separated

private:
    struct Reply {
        int status;
        std::string body;
    };
    Reply Device(const Request& r);
    Reply Media(const Request& r);
    Reply Ptz(const Request& r);
    Reply Ok(const std::string& body) { return {200, Envelope(body)}; }
    Reply Unsupported(const std::string& what);
    Reply BadArgs(const std::string& why);
    Reply HeadFailure(const Outcome& o, const char* what);

    std::string ProfileXml();
    std::string PtzConfigurationXml(const char* element);
    std::string NodeXml(const char* element);
    std::string SpacesXml();
    // Maps between head units and the generic spaces.
    double ToGeneric(int32_t value, int32_t min, int32_t max) const;
    int32_t FromGeneric(double value, int32_t min, int32_t max) const;
    Outcome SetSpeed(double generic);
    Outcome Move(int32_t pan, int32_t tilt);
    void StopAfter(std::chrono::milliseconds timeout);

    HeadWorker& head_;
    OnvifConfig config_;
    Authenticator auth_;
    PresetNames presets_;
    std::string uuid_;
    // A ContinuousMove's time-out: the head is stopped when it expires.
    std::mutex timerMutex_;
    std::condition_variable timerWake_;
    std::chrono::steady_clock::time_point stopAt_ = std::chrono::steady_clock::time_point::max();
    bool stopping_ = false;
    std::thread timer_;
};

}  // namespace ptzd::onvif
