// The HTTP front end: the JSON API (one route per device command), the
// control page and the metrics, on one embedded server.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "head_worker.h"

namespace httplib {
class Server;
}

namespace ptzd {

class HttpServer {
public:
    HttpServer(std::vector<HeadWorker*> heads, std::string token);
    ~HttpServer();
    // Binds; false (logged) when it cannot.
    bool Listen(const Address& address);
    void Start();
    void Stop();

private:
    void AddRoutes();
    HeadWorker* Find(const std::string& name);

    std::vector<HeadWorker*> heads_;
    std::string token_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

}  // namespace ptzd
