// WS-Security UsernameToken: PasswordDigest (Base64(SHA-1(nonce + created +
// password))) and PasswordText (the default when Password has no Type).
// Both need a Nonce and a Created time within five minutes of ours (a
// PasswordText token with neither is taken only where the device allows
// it: onvif_plain_password); a nonce
// is remembered by its decoded bytes together with its Created time until
// that time is out of the window, so no spelling of it passes twice. Every
// token costs the same work and every secret is compared in constant time,
// whether the user exists or not; refusals do not say which part was wrong.
#pragma once

#include <array>
#include <chrono>
#include <ctime>
#include <mutex>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <utility>

namespace ptzd::onvif {

class Authenticator {
public:
    // `plainPassword`: a PasswordText token with neither Nonce nor Created
    // is taken too (the password in clear, no protection against a replay).
    Authenticator(std::string user, std::string password, bool plainPassword = false,
                  size_t remembered = kMaxRemembered);
    // A password alone also asks for authentication (its user is then "").
    bool Required() const { return required_; }
    // Checks the request's Security header; the reason when it is refused.
    std::string Check(const pugi::xml_node& header);

    static constexpr std::chrono::seconds kWindow{300};
    // Tokens remembered at once (only accepted ones are; about 80 bytes
    // each). When full, the oldest seconds of them are forgotten and tokens
    // created before the seconds still remembered are refused from then on
    // (they could be replays of the forgotten): a fresh token is taken
    // unless this many were created in its very second, so a client
    // polling back to back is never locked out.
    static constexpr size_t kMaxRemembered = 262144;

    using Hash = std::array<unsigned char, 32>;

private:
    bool required_;
    bool plainPassword_;
    size_t remembered_;
    std::string password_;
    Hash user_, passwordHash_;
    std::mutex mutex_;
    // (Created in seconds, SHA-256 of the Created fraction and the nonce's
    // bytes), in the order they leave the window.
    std::set<std::pair<std::time_t, Hash>> seen_;
    std::time_t floor_ = 0;  // tokens created before this second are no longer checkable
};

// Base64 of SHA-1 of the bytes (for tests and for the digest).
std::string DigestOf(const std::string& nonceBytes, const std::string& created, const std::string& password);
// Decodes Base64 that is written the one canonical way (padding where it
// belongs, unused bits zero); false for anything else.
bool DecodeBase64(const std::string& text, std::string& bytes);

}  // namespace ptzd::onvif
