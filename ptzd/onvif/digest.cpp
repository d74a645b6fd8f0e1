#include "digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <strings.h>

#include <cctype>
#include <charconv>

namespace ptzd::onvif {

namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string RandomHex(size_t bytes) {
    unsigned char buffer[32];
    if (bytes > sizeof buffer || RAND_bytes(buffer, static_cast<int>(bytes)) != 1) return "";
    return Hex(buffer, bytes);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The parameters of a Digest credentials header, names in lower case; false
// when it is not one or is malformed.
bool Params(const std::string& header, std::map<std::string, std::string>& out) {
    size_t at = 0;
    while (at < header.size() && header[at] == ' ') ++at;
    if (header.size() - at < 7 || strncasecmp(header.c_str() + at, "Digest ", 7) != 0) return false;
    at += 7;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ',' || header[at] == '\t')) ++at;
        if (at >= header.size()) break;
        const size_t eq = header.find('=', at);
        if (eq == std::string::npos || eq == at || eq - at > 32) return false;
        std::string name = header.substr(at, eq - at);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        at = eq + 1;
        while (at < header.size() && header[at] == ' ') ++at;
        std::string value;
        if (at < header.size() && header[at] == '"') {
            for (++at; at < header.size() && header[at] != '"'; ++at) {
                if (header[at] == '\\' && at + 1 < header.size()) ++at;
                value += header[at];
            }
            if (at >= header.size()) return false;  // unterminated
            ++at;
        } else {
            const size_t end = header.find(',', at);
            value = header.substr(at, end == std::string::npos ? std::string::npos : end - at);
            while (!value.empty() && value.back() == ' ') value.pop_back();
            at = end == std::string::npos ? header.size() : end;
        }
        if (out.count(name) || out.size() > 16) return false;
        out[name] = value;
    }
    return true;
}

}  // namespace

std::string HexDigest(const std::string& algorithm, const std::string& text) {
    const EVP_MD* md = algorithm == "MD5" ? EVP_md5() : algorithm == "SHA-256" ? EVP_sha256() : nullptr;
    if (!md) return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, md, nullptr) != 1) return "";
    return Hex(digest, length);
}

DigestAuth::DigestAuth(std::string user, std::string password, std::string realm)
    : user_(std::move(user)), password_(std::move(password)), realm_(std::move(realm)), opaque_(RandomHex(16)) {}

void DigestAuth::Forget() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = nonces_.begin(); it != nonces_.end();)
        it = now - it->second.issued > kNonceLifetime ? nonces_.erase(it) : std::next(it);
}

std::vector<std::string> DigestAuth::Challenges(bool stale) {
    std::string nonce = RandomHex(24);
    {
        std::lock_guard lock(mutex_);
        Forget();
        // Full: the oldest goes (its clients get stale=true and a new one).
        while (nonces_.size() >= kMaxNonces) {
            auto oldest = nonces_.begin();
            for (auto it = nonces_.begin(); it != nonces_.end(); ++it)
                if (it->second.issued < oldest->second.issued) oldest = it;
            nonces_.erase(oldest);
        }
        nonces_[nonce] = Nonce{std::chrono::steady_clock::now(), {}};
    }
    std::vector<std::string> out;
    for (const char* algorithm : {"SHA-256", "MD5"})
        out.push_back("Digest realm=\"" + realm_ + "\", qop=\"auth\", algorithm=" + algorithm + ", nonce=\"" + nonce +
                      "\", opaque=\"" + opaque_ + "\"" + (stale ? ", stale=true" : ""));
    return out;
}

DigestAuth::Verdict DigestAuth::Check(const std::string& authorization, const std::string& method,
                                      const std::string& target) {
    std::map<std::string, std::string> p;
    if (authorization.empty() || !Params(authorization, p)) return Verdict::None;
    const std::string algorithm = p.count("algorithm") ? p["algorithm"] : "MD5";
    if (p["qop"] != "auth" || p["realm"] != realm_ || p["uri"] != target || p["cnonce"].empty() ||
        p["nc"].size() != 8 || (algorithm != "MD5" && algorithm != "SHA-256"))
        return Verdict::Refused;
    uint32_t count = 0;
    const std::string& nc = p["nc"];
    if (std::from_chars(nc.data(), nc.data() + nc.size(), count, 16).ptr != nc.data() + nc.size()) return Verdict::Refused;
    // The same work whether the user is right or not.
    const std::string ha1 = HexDigest(algorithm, user_ + ":" + realm_ + ":" + password_);
    const std::string ha2 = HexDigest(algorithm, method + ":" + target);
    const std::string expected = HexDigest(algorithm, ha1 + ":" + p["nonce"] + ":" + nc + ":" + p["cnonce"] + ":auth:" + ha2);
    const bool userRight = SameText(HexDigest("SHA-256", p["username"]), HexDigest("SHA-256", user_));
    if (!SameText(expected, p["response"]) || !userRight) return Verdict::Refused;
    std::lock_guard lock(mutex_);
    Forget();
    const auto it = nonces_.find(p["nonce"]);
    if (it == nonces_.end() || it->second.counts.size() >= kMaxCountsPerNonce) return Verdict::Stale;
    if (!it->second.counts.insert(count).second) return Verdict::Refused;  // a replay
    return Verdict::Accepted;
}

}  // namespace ptzd::onvif
