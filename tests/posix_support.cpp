// Test helpers that exist only on POSIX: the simulated head in this
// process, served on loopback, and the process's descriptor count.
#include <dirent.h>

#include <chrono>
#include <thread>

#include "server.h"
#include "support.h"

namespace ptztest {

namespace {

class LocalHead final : public SimHead {
public:
    LocalHead() : server_(head_) { port_ = server_.Start(); }
    std::string Host() override { return "127.0.0.1"; }
    int Port() override { return port_; }
    void Reset() override { head_.Reset(); }
    void SetRules(const std::vector<ptzsim::Rule>& rules) override { head_.SetRules(rules); }
    void SetFaults(const ptzsim::Faults& faults) override { head_.SetFaults(faults); }
    std::vector<std::vector<uint8_t>> Requests() override { return head_.Requests(); }
    void ClearRequests() override { head_.ClearRequests(); }
    unsigned Burns() override {
        return head_.WithModel([](ptzsim::HeadModel& m) { return m.State().burns; });
    }
    unsigned RepliesSent() override { return head_.RepliesSent(); }

private:
    ptzsim::Head head_;
    ptzsim::TcpServer server_;
    int port_ = -1;
};

}  // namespace

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

int DescriptorsSettleAt(int expected) {
    int n = OpenDescriptors();
    for (int i = 0; i < 10000 && n != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = OpenDescriptors();
    }
    return n;
}

SimHead* LocalSimHead(int which) {
    static LocalHead heads[2];
    return &heads[which];
}

}  // namespace ptztest
