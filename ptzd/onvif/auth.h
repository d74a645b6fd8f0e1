// WS-Security UsernameToken: PasswordDigest (Base64(SHA-1(nonce + created +
// password))) and PasswordText, a Created time within five minutes of ours,
// and no nonce twice within that window.
#pragma once

#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <pugixml.hpp>
#include <string>

namespace ptzd::onvif {

class Authenticator {
public:
    Authenticator(std::string user, std::string password) : user_(std::move(user)), password_(std::move(password)) {}
    bool Required() const { return !user_.empty(); }
    // Checks the request's Security header; the reason when it is refused.
    std::string Check(const pugi::xml_node& header);

    static constexpr std::chrono::seconds kWindow{300};

private:
    std::string user_, password_;
    std::mutex mutex_;
    std::map<std::string, std::chrono::system_clock::time_point> nonces_;  // seen within the window
};

// Base64 of SHA-1 of the bytes (for tests and for the digest).
std::string DigestOf(const std::string& nonceBytes, const std::string& created, const std::string& password);
// Parses an xs:dateTime in UTC ("2026-12-08T20:00:00Z", fractions allowed)
// into seconds since 1970.
bool ParseUtc(const std::string& text, std::time_t& when);

}  // namespace ptzd::onvif
