// The HTTP API's one route table: every route is registered here, with its
// method, and the methods a path answers to (the Allow of a 405) are read
// off the same table, so that the two can never disagree.
#pragma once

#include <functional>
#include <httplib.h>
#include <regex>
#include <string>
#include <vector>

namespace ptzd {

class Routes {
public:
    using Handler = httplib::Server::Handler;
    explicit Routes(httplib::Server& server) : server_(server) {}

    void Get(const std::string& pattern, Handler handler) { Add("GET", pattern, std::move(handler)); }
    void Post(const std::string& pattern, Handler handler) { Add("POST", pattern, std::move(handler)); }
    void Put(const std::string& pattern, Handler handler) { Add("PUT", pattern, std::move(handler)); }
    void Delete(const std::string& pattern, Handler handler) { Add("DELETE", pattern, std::move(handler)); }
    // A route whose methods depend on what the path names (the per-export
    // routes: a query answers GET, a command POST): `methods` gives them,
    // "" when the path names nothing.
    void Add(const std::string& pattern, const std::function<std::string(const std::smatch&)>& methods,
             const std::vector<std::pair<std::string, Handler>>& handlers);

    // "GET, HEAD", "POST, PUT, DELETE", ...: every method of every route
    // the path matches, in that order; "" when it is no route of ours.
    std::string Allowed(const std::string& path) const;

private:
    void Add(const char* method, const std::string& pattern, Handler handler);

    struct Entry {
        std::regex pattern;
        std::string method;                                   // or, when empty:
        std::function<std::string(const std::smatch&)> methods;
    };
    httplib::Server& server_;
    std::vector<Entry> entries_;
};

}  // namespace ptzd
