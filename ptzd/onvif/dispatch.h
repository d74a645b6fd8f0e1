// The operations of one ONVIF device in one table, by {namespace,
// operation}: each service adds its own, and says what GetServices and
// GetCapabilities tell of it, so those two answers are read off the table
// and a service added is a service advertised.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "soap.h"

namespace ptzd::onvif {

// An answer: the HTTP status and the envelope.
struct Reply {
    Reply() = default;
    Reply(int s, std::string b) : status(s), body(std::move(b)) {}
    Reply(std::pair<int, std::string> p) : status(p.first), body(std::move(p.second)) {}  // NOLINT: implicit on purpose
    int status = 500;
    std::string body;
};

// What an operation is told of the request beside its body.
struct Call {
    const Request& request;   // its `base` is "http://host:port" as the client reached us
    const std::string& path;  // the HTTP path it was posted to
    bool digest = false;      // HTTP Digest authenticated it
};

using Operation = std::function<Reply(const Call&)>;

// A service as GetServices and GetCapabilities describe it.
struct Offer {
    std::string ns;    // its namespace
    std::string path;  // where it is served ("/onvif/ptz_service")
    std::function<std::string()> capabilities;  // inside GetServices' tds:Capabilities
    // Its element in GetCapabilities ("Device", "Media", ...; empty: none),
    // and what follows the XAddr there.
    std::string legacy;
    std::string legacyMore;
};

class Dispatch {
public:
    // `open`: answered without authentication (the few a client needs before it has credentials).
    void On(const std::string& ns, const std::string& name, Operation operation, bool open = false);
    void Add(Offer offer) { offers_.push_back(std::move(offer)); }

    // Null when the device has no such operation.
    const Operation* Find(const std::string& ns, const std::string& name) const;
    bool Open(const std::string& ns, const std::string& name) const;
    bool Knows(const std::string& ns) const;  // some operation of that namespace is here

    // GetServices' tds:Service elements, in the order the services were added.
    std::string Services(const std::string& base, bool withCapabilities) const;
    // GetCapabilities' tt:Capabilities content, in the schema's order.
    std::string Capabilities(const std::string& base) const;

private:
    struct Entry {
        Operation operation;
        bool open;
    };
    std::map<std::pair<std::string, std::string>, Entry> operations_;
    std::vector<Offer> offers_;
};

}  // namespace ptzd::onvif
