// HTTP Digest authentication (RFC 7616) for the ONVIF services: qop=auth,
// MD5 and SHA-256. Nonces are ours, random, live kNonceLifetime and are
// remembered (at most kMaxNonces at once); each nonce count is accepted
// once, so a replayed request is refused. A request whose digest is right
// for a nonce we no longer know is answered with stale=true.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ptzd::onvif {

class DigestAuth {
public:
    DigestAuth(std::string user, std::string password, std::string realm = "ptzd");

    enum class Verdict { None, Accepted, Refused, Stale };
    // Checks an Authorization header ("" or another scheme: None).
    Verdict Check(const std::string& authorization, const std::string& method, const std::string& target);
    // WWW-Authenticate values to send with a 401 (SHA-256 first, then MD5).
    std::vector<std::string> Challenges(bool stale);

    static constexpr std::chrono::seconds kNonceLifetime{300};
    static constexpr size_t kMaxNonces = 4096;
    static constexpr size_t kMaxCountsPerNonce = 1024;

private:
    struct Nonce {
        std::chrono::steady_clock::time_point issued;
        std::set<uint32_t> counts;  // nonce counts used
    };
    void Forget();  // under mutex_: nonces past their lifetime

    std::string user_, password_, realm_, opaque_;
    std::mutex mutex_;
    std::map<std::string, Nonce> nonces_;
};

// The value of a hash over `text` in lower-case hex ("MD5", "SHA-256");
// "" for another algorithm.
std::string HexDigest(const std::string& algorithm, const std::string& text);

}  // namespace ptzd::onvif
