#include <memory>

#include "head.h"
#include "server.h"
#include "simulator.h"

namespace ptzctl {

namespace {
ptzsim::Head head;
std::unique_ptr<ptzsim::TcpServer> server;
}  // namespace

int StartSimulator() {
    server = std::make_unique<ptzsim::TcpServer>(head);
    return server->Start("127.0.0.1", 0);
}

void StopSimulator() {
    if (server) server->Stop();
    server.reset();
}

}  // namespace ptzctl
