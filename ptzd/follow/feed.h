// A head's feed of target positions on TCP: lines of JSON
// ({"id": "...", "lat": .., "lon": .., "height": ..}, metres above the
// ellipsoid) or of the BaseStation (SBS-1) text ADS-B receivers publish
// ("MSG,3,...": the ICAO address is the id, the altitude in feet). Feeds
// connect to the head's port, or the gateway reads a receiver's port
// itself (reconnecting with back-off). Every fix goes to the head's
// follower (motion/follow.h), which chooses the target and paces the
// moves; one thread serves the port.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "follow/follow_config.h"
#include "front_end.h"
#include "infra/net.h"
#include "motion/motion.h"

namespace ptzd::follow {

// One line of a feed as a fix; none for a line that carries no position
// (other BaseStation messages, blank lines) or one that is not valid (`why`
// says what). BaseStation altitudes met in lines without a position are
// remembered in `altitudes` (feet, by id; bounded).
std::optional<motion::Fix> ParseLine(const std::string& line, double heightOffset, std::map<std::string, double>& altitudes,
                                     std::string& why);

class Feed final : public FrontEnd {
public:
    Feed(motion::Motion& motion, Settings settings);
    ~Feed() override;
    std::string Name() const override { return "follow " + motion_.name(); }
    bool Bind() override;
    void Start() override;
    void BeginStop() override;
    void Join() override;

    static constexpr size_t kMaxLine = 1024;
    static constexpr size_t kMaxAltitudes = 4096;
    static constexpr std::chrono::seconds kConnectWait{10};  // for the receiver's port to answer

private:
    struct Client {
        int fd = -1;
        bool dialed = false;  // the receiver's port we read
        bool connecting = false;
        std::string peer, source, pending;
        std::chrono::steady_clock::time_point active;
    };
    void Loop();
    void Accept();
    void Read(Client& c);
    void Dial();
    void Close(Client& c);

    motion::Motion& motion_;
    Settings settings_;
    int listenFd_ = -1, wake_ = -1;
    std::thread thread_;
    std::vector<std::unique_ptr<Client>> clients_;
    SourceCounts sources_;
    Acceptor acceptor_;
    std::map<std::string, double> altitudes_;
    std::chrono::steady_clock::time_point dialAt_{};  // the next attempt at the receiver's port
    std::chrono::milliseconds backoff_{1000};
    uint64_t refusedLines_ = 0;
};

}  // namespace ptzd::follow
