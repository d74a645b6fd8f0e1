// A head as an antenna rotator: the line protocol of Hamlib's rotctld on
// TCP, for satellite, balloon and antenna trackers (gpredict, rotctl -m 2,
// ...). Azimuth maps onto pan (an offset and a direction), elevation onto
// tilt; every command goes to the head's motion layer. One thread serves
// every client; a client that says nothing for `idle` is closed.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "front_end.h"
#include "infra/line_port.h"
#include "infra/net.h"
#include "motion/motion.h"
#include "rotctld/rotctld_config.h"

namespace ptzd::rotctld {

class Server final : public FrontEnd {
public:
    Server(motion::Motion& motion, Settings settings);
    std::string Name() const override { return "rotctld " + motion_.name(); }
    bool Bind() override;
    void Start() override { port_.Start(); }
    void BeginStop() override { port_.BeginStop(); }
    void Join() override { port_.Join(); }

    static constexpr size_t kMaxLine = 256;

    // The answer to one line of a client (its commands in order); `quit`
    // says the client asked to go. Public for the tests.
    std::string Answer(const std::string& line, bool& quit);

private:
    // The head's pan and tilt for an azimuth and elevation, and back.
    double PanOf(double azimuth) const;
    double AzimuthOf(double pan) const;
    void SendTarget();
    // The rate cap's turn, on the port's thread: a target waiting goes.
    LinePort::Clock::time_point Turn(LinePort::Clock::time_point now);

    motion::Motion& motion_;
    Settings settings_;
    // The rate cap: the last target sent, when, and one waiting for its turn.
    std::optional<std::pair<double, double>> sent_, waiting_;
    std::chrono::steady_clock::time_point sentAt_{};
    LinePort port_;  // last: its thread uses what is above
};

}  // namespace ptzd::rotctld
