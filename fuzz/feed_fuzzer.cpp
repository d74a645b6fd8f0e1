// Fuzzes the follow feed's lines (JSON and BaseStation), one input split
// into lines as the port would: a fix always has an id of 1 to 64 bytes
// and a place on the Earth; a refusal never comes with a fix; the
// altitudes remembered stay bounded.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "follow/feed.h"
#include "geo/geo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::map<std::string, double> altitudes;  // kept across inputs, as on a long-lived port
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string why;
        const auto fix = ptzd::follow::ParseLine(text.substr(at, end - at), 12.5, altitudes, why);
        if (fix && (!why.empty() || fix->id.empty() || fix->id.size() > 64 || !ptzd::geo::CheckPlace(fix->place).empty()))
            std::abort();
        if (altitudes.size() > ptzd::follow::Feed::kMaxAltitudes) std::abort();
        at = end + 1;
    }
    return 0;
}
