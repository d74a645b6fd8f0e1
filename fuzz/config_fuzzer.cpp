// Fuzzes the configuration loader with TOML of any content. Every problem
// is reported as a line naming the file; a configuration that passes holds
// only what ptzd can start with: safe head names, IP-literal listening
// addresses with distinct non-zero ports, users with passwords.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"

namespace {

void Listener(const ptzd::Address& a, std::set<int>& ports) {
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, a.host.c_str(), &v4) != 1 && ::inet_pton(AF_INET6, a.host.c_str(), &v6) != 1) std::abort();
    if (a.port < 1 || a.port > 65535 || !ports.insert(a.port).second) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ptzd::Config config;
    std::vector<std::string> errors;
    const bool ok = ptzd::LoadConfigText(text, "fuzz.toml", config, errors);
    if (ok != errors.empty()) std::abort();
    for (const std::string& e : errors)
        if (e.rfind("fuzz.toml:", 0) != 0) std::abort();
    if (!ok) return 0;
    if (config.heads.empty()) std::abort();
    std::set<int> ports;
    if (config.httpEnabled) Listener(config.http, ports);
    for (const ptzd::HeadConfig& h : config.heads) {
        if (!ptzd::CheckHeadName(h.name).empty() || !ptzd::CheckLink(h.link).empty()) std::abort();
        if (h.listen) Listener(*h.listen, ports);
        if (h.onvif) {
            Listener(h.onvif->address, ports);
            if (h.onvif->user.empty() != h.onvif->password.empty()) std::abort();
        }
    }
    return 0;
}
