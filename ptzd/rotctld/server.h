// A head as an antenna rotator: the line protocol of Hamlib's rotctld on
// TCP, for satellite, balloon and antenna trackers (gpredict, rotctl -m 2,
// ...). Azimuth maps onto pan (an offset and a direction), elevation onto
// tilt; every command goes to the head's motion layer. One thread serves
// every client; a client that says nothing for `idle` is closed.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "front_end.h"
#include "infra/net.h"
#include "motion/motion.h"
#include "rotctld/rotctld_config.h"

namespace ptzd::rotctld {

class Server final : public FrontEnd {
public:
    Server(motion::Motion& motion, Settings settings);
    ~Server() override;
    std::string Name() const override { return "rotctld " + motion_.name(); }
    bool Bind() override;
    void Start() override;
    void BeginStop() override;
    void Join() override;

    static constexpr size_t kMaxLine = 256;

    // The answer to one line of a client (its commands in order); `quit`
    // says the client asked to go. Public for the tests.
    std::string Answer(const std::string& line, bool& quit);

private:
    struct Client {
        int fd = -1;
        std::string peer, source, pending;
        std::chrono::steady_clock::time_point active;
    };
    void Loop();
    void Accept();
    void Read(Client& c);
    // The head's pan and tilt for an azimuth and elevation, and back.
    double PanOf(double azimuth) const;
    double AzimuthOf(double pan) const;
    void SendTarget();

    motion::Motion& motion_;
    Settings settings_;
    int listenFd_ = -1, wake_ = -1;
    std::thread thread_;
    std::vector<std::unique_ptr<Client>> clients_;
    SourceCounts sources_;
    Acceptor acceptor_;
    // The rate cap: the last target sent, when, and one waiting for its turn.
    std::optional<std::pair<double, double>> sent_, waiting_;
    std::chrono::steady_clock::time_point sentAt_{};
};

}  // namespace ptzd::rotctld
