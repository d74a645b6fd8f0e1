// One head as an ONVIF device: the device, media and PTZ services (SOAP 1.2
// over HTTP), answered from schema-ordered templates with the head's values
// filled in, the head's commands run on its worker. Every number a request
// carries is checked whole before anything moves; every ContinuousMove
// stops by its Timeout or the advertised default.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "auth.h"
#include "head_worker.h"
#include "soap.h"

namespace ptzd::onvif {

// The names of presets 1-16, kept in a small JSON file (see state_file.h).
class PresetNames {
public:
    explicit PresetNames(std::string file);
    std::string Get(int preset);  // "" when the slot is free
    // Sets a name ("" frees the slot) and saves; when saving fails the old
    // name is back and the reason is returned.
    std::string Set(int preset, const std::string& name);
    int FirstFree();

    static constexpr size_t kMaxName = 64;  // bytes of UTF-8

private:
    std::string Save();
    std::string file_;
    std::mutex mutex_;
    std::array<std::string, 17> names_;
};

class Service {
public:
    // `stateFile` keeps the preset names ("" keeps them in memory only).
    Service(HeadWorker& head, const OnvifConfig& config, const std::string& stateFile);
    ~Service();  // stops what StopAll stops

    // Stops every continuous move this service started and refuses moves
    // from now on (for the gateway's shutdown, while the head still runs).
    void StopAll();
    // What a ContinuousMove without a Timeout (or with PT0S) runs for: the
    // DefaultPTZTimeout the PTZ configuration advertises.
    static constexpr std::chrono::seconds kDefaultTimeout{10};

    // Answers one request body: the HTTP status and the response envelope.
    // `host` is the request's Host header (what the service addresses in
    // the answers are made of); empty: the configured address.
    int Handle(const std::string& body, std::string& response, const std::string& host = "");
    // The address clients reach the services at (as configured, an IPv6
    // address in brackets).
    std::string BaseUrl() const;
    // The same with another host (an interface's address for a wildcard).
    std::string BaseUrlWith(const std::string& host) const;
    // True when the services listen on every address (0.0.0.0 or ::).
    bool Wildcard() const;
    const std::string& Host() const { return config_.address.host; }
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
    // env:Sender/ter:InvalidArgVal, with the operation's own subcode below it
    // when there is one ("ter:InvalidPosition").
    Reply BadArgs(const std::string& why, const char* detail = nullptr);
    Reply HeadFailure(const Outcome& o, const char* what);
    static Reply Closing();  // a move after StopAll
    Reply SetPreset(const pugi::xml_node& in);

    std::string ProfileXml();
    std::string PtzConfigurationXml(const char* element);
    std::string NodeXml(const char* element);
    std::string SpacesXml();
    // Maps between head units and the generic spaces.
    double ToGeneric(int32_t value, int32_t min, int32_t max) const;
    int32_t FromGeneric(double value, int32_t min, int32_t max) const;
    // Each axis's speed (generic 0-1), for the axes given.
    Outcome SetSpeeds(std::optional<double> pan, std::optional<double> tilt);
    Outcome Move(int32_t pan, int32_t tilt);
    // Stops both motors; the second is stopped even when the first fails.
    Outcome StopMotors();
    // The caller holds motion_ and has just given the head a command that
    // replaces whatever moved it: a new generation, and the pending stop of
    // an older ContinuousMove is dropped. (A command that failed leaves that
    // stop armed: the older move may still be running.)
    void Supersede();
    // GetStatus's position readings are shared: a request gets a reading that
    // began at or after `notBefore` (waiting until then), and requests that
    // want one at the same time share its exchange, so any number of
    // pollers costs the head one reading at a time.
    struct Reading {
        Outcome outcome;
        int32_t pan = 0, tilt = 0;
        std::chrono::steady_clock::time_point started;
        bool valid = false;
    };
    Reading ReadPosition(std::chrono::steady_clock::time_point notBefore);

    HeadWorker& head_;
    OnvifConfig config_;
    Authenticator auth_;
    PresetNames presets_;
    std::mutex presetOps_;  // one SetPreset or RemovePreset at a time
    std::string uuid_;
    // Motion: every moving operation holds motion_ from its first command to
    // its last, and so does the timer while it stops an expired
    // ContinuousMove; `generation_` counts motions, `armed_` is the one the
    // pending stop belongs to.
    std::mutex motion_;
    std::condition_variable timerWake_;
    std::chrono::steady_clock::time_point stopAt_ = std::chrono::steady_clock::time_point::max();
    uint64_t generation_ = 0, armed_ = 0;
    bool continuous_ = false;  // a ContinuousMove of ours may still be moving the head
    bool closed_ = false;      // StopAll ran
    bool stopping_ = false;
    std::thread timer_;
    std::mutex readingMutex_;
    std::condition_variable readingDone_;
    bool reading_ = false;  // an exchange for a reading is on its way
    Reading last_;
};

}  // namespace ptzd::onvif
