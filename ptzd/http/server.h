// The HTTP front end: the JSON API (one route per device command), the
// control page and the metrics, on one embedded server.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "front_end.h"
#include "infra/net.h"
#include "worker/head_worker.h"
#include "motion/motion.h"

namespace ptzd {

class Listener;
class Routes;

// The checked arguments of one command route.
struct CommandArgs {
    std::map<std::string, int32_t> values;
    std::vector<uint8_t> data;  // EepWrite
    int32_t operator[](const char* name) const { return values.at(name); }
};

// The commands with a route, in the header's order.
std::vector<std::string> CommandNames();
// Whether `command` is a route, and whether it is a GET (a query) route.
bool CommandExists(const std::string& command, bool& query);
// Collects and checks the arguments of `command`: from the query parameters
// of a GET route, from the JSON body of a POST route. Integers in a query
// are strictly decimal; every argument must fit the range the head's byte or
// the library's check allows. Empty when fine, else why (a 400's text).
std::string ParseCommandArgs(const std::string& command, const std::multimap<std::string, std::string>& query,
                             const std::string& body, CommandArgs& args);

struct HttpSettings {
    std::string token;               // empty: no token asked for
    std::vector<std::string> hosts;  // names a Host header may give besides loopback names and IP literals
    Address address{"127.0.0.1", 8080};  // where it listens (a Host naming it is this gateway)
    size_t maxConnections = 256;
    size_t maxConnectionsPerSource = SourceCounts::kPerSourceAuto;  // see SourceCounts::CapFor
};

// What GET /api/heads tells of a head beside its worker's state.
struct HeadListing {
    std::string listen, viscaUdp, viscaTcp, onvif;  // "HOST:PORT", or "" when off
    Mapping mapping;
    std::vector<std::string> statusLabels;  // empty: "flag 0" ...
    std::string snapshot;
    std::string viscaUdpRaw;  // "HOST:PORT", or "" when off
};

class HttpServer final : public FrontEnd {
public:
    // `motions`: the heads' motion services, for the routes in moves;
    // `listings`: what /api/heads says of each head, in the heads' order.
    HttpServer(std::vector<HeadWorker*> heads, HttpSettings settings, std::vector<motion::Motion*> motions = {},
               std::vector<HeadListing> listings = {});
    ~HttpServer() override;
    std::string Name() const override { return "HTTP"; }
    bool Bind() override { return Listen(address_); }
    void Start() override;
    // Ends the live streams, then stops reading requests.
    void BeginStop() override;
    void Join() override;
    // Binds; false (logged) when it cannot.
    bool Listen(const Address& address);
    // Its listener, to stop it (Shutdown, then Join once the heads' queued
    // calls have failed).
    Listener& listener() { return *server_; }
    // More lines for /metrics (before Start).
    void AddMetrics(std::function<void(std::string&)> render) { moreMetrics_.push_back(std::move(render)); }
    // Ends the live streams (before the listener's Shutdown).
    void EndStreams() { stopping_ = true; }

private:
    void AddRoutes();
    HeadWorker* Find(const std::string& name);
    // Whether a Host header names this gateway.
    bool HostAllowed(const std::string& host) const;

    std::vector<HeadWorker*> heads_;
    std::vector<motion::Motion*> motions_;
    std::vector<HeadListing> listings_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> streams_{0};  // live streams open
    std::vector<std::function<void(std::string&)>> moreMetrics_;
    std::string token_;
    std::vector<std::string> hosts_;
    Address address_;
    std::string listenHost_;
    std::unique_ptr<Listener> server_;
    std::unique_ptr<Routes> routes_;  // every route, and the methods each path answers to
};

}  // namespace ptzd
