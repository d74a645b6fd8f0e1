// A head's feed of target positions on TCP: lines of JSON
// ({"id": "...", "lat": .., "lon": .., "height": ..}, metres above the
// ellipsoid) or of the BaseStation (SBS-1) text ADS-B receivers publish
// ("MSG,3,...": the ICAO address is the id, the altitude in feet). Feeds
// connect to the head's port, or the gateway reads a receiver's port
// itself (reconnecting with back-off). Every fix goes to the head's
// follower (motion/follow.h), which chooses the target and paces the
// moves; one thread serves the port.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "follow/follow_config.h"
#include "front_end.h"
#include "infra/line_port.h"
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
    std::string Name() const override { return "follow " + motion_.name(); }
    bool Bind() override;
    void Start() override { port_.Start(); }
    void BeginStop() override { port_.BeginStop(); }
    void Join() override { port_.Join(); }

    static constexpr size_t kMaxLine = 1024;
    static constexpr size_t kMaxAltitudes = 4096;

private:
    std::string Line(const std::string& line);

    motion::Motion& motion_;
    Settings settings_;
    std::map<std::string, double> altitudes_;  // the port's thread's
    uint64_t refusedLines_ = 0;
    LinePort port_;  // last: its thread uses what is above
};

}  // namespace ptzd::follow
