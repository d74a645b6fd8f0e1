#include "onvif/xs.h"
#include "auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "soap.h"

namespace ptzd::onvif {

namespace {

constexpr const char* kRefused = "unknown user or wrong password";

std::string Base64(const unsigned char* bytes, size_t count) {
    std::vector<unsigned char> out(4 * ((count + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), bytes, static_cast<int>(count));
    return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
}

Authenticator::Hash Sha256(const std::string& text) {
    Authenticator::Hash h{};
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), h.data());
    return h;
}

// Fixed-length digests compared in constant time: neither the length nor
// the first differing byte of a secret shows in the time taken.
bool Same(const Authenticator::Hash& a, const Authenticator::Hash& b) {
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string Trimmed(const char* text) { return std::string(Collapsed(text)); }

bool EndsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

bool DecodeBase64(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) return false;
    std::vector<unsigned char> out(text.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t length = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && length > 0; --i) --length;  // padding decodes as zeros
    // Encoding the bytes again must give the text back: one spelling per value.
    if (Base64(out.data(), length) != text) return false;
    bytes.assign(reinterpret_cast<char*>(out.data()), length);
    return true;
}

std::string DigestOf(const std::string& nonceBytes, const std::string& created, const std::string& password) {
    const std::string input = nonceBytes + created + password;
    unsigned char sha[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), sha);
    return Base64(sha, sizeof sha);
}

Authenticator::Authenticator(std::string user, std::string password, bool plainPassword, size_t remembered)
    : required_(!user.empty() || !password.empty()),
      plainPassword_(plainPassword),
      remembered_(std::max<size_t>(remembered, 1)),
      password_(std::move(password)),
      user_(Sha256(user)),
      passwordHash_(Sha256(password_)) {}

std::string Authenticator::Check(const pugi::xml_node& header) {
    if (!Required()) return "";
    const pugi::xml_node security = Child(header, kWsse, "Security");
    const pugi::xml_node token = security ? Child(security, kWsse, "UsernameToken") : pugi::xml_node{};
    if (!token) return "this device wants a WS-Security UsernameToken";
    const pugi::xml_node password = Child(token, kWsse, "Password");
    const std::string type = Trimmed(password.attribute("Type").value());
    // No Type is PasswordText, as WS-Security has it.
    const bool text = type.empty() || EndsWith(type, "#PasswordText");
    if (!text && !EndsWith(type, "#PasswordDigest")) return "the token's password type is not known";
    const pugi::xml_node nonceNode = Child(token, kWsse, "Nonce");
    const pugi::xml_node createdNode = Child(token, kWsu, "Created");
    const bool userOk = Same(Sha256(Trimmed(Child(token, kWsse, "Username").text().get())), user_);
    if (text && !nonceNode && !createdNode) {
        // The plain form some clients send: the password itself, nothing
        // that makes a replay fail.
        if (!plainPassword_)
            return "a password without a Nonce and a Created time travels in clear: this device takes one only with "
                   "onvif_plain_password = true";
        const bool passwordOk = Same(Sha256(Trimmed(password.text().get())), passwordHash_);
        return (userOk & passwordOk) ? "" : kRefused;
    }
    const std::string encoding = Trimmed(nonceNode.attribute("EncodingType").value());
    if (!encoding.empty() && !EndsWith(encoding, "#Base64Binary")) return "the token's nonce is not Base64";

    const std::string nonceText = Trimmed(nonceNode.text().get());
    const std::string created = Trimmed(createdNode.text().get());
    std::string nonce, fraction;
    std::time_t when = 0;
    if (!DecodeBase64(nonceText, nonce) || !ParseDateTime(created, when, &fraction))
        return "the token needs a Base64 nonce and a UTC Created time";
    // Compared in seconds: a far-off time can never overflow a clock here.
    const std::time_t now = std::time(nullptr);
    if (when < now - kWindow.count() || when > now + kWindow.count())
        return "the token's Created time is outside five minutes of ours";

    // The same work for every token, whoever it names: the digest is always
    // made, every comparison always runs, and one refusal covers them all.
    const std::string given = Trimmed(password.text().get());
    const Hash expected = text ? passwordHash_ : Sha256(DigestOf(nonce, created, password_));
    const bool passwordOk = Same(Sha256(given), expected);
    if (!(userOk & passwordOk)) return kRefused;

    // Remembered until its Created time leaves the window: a replay before
    // then finds it, one after is refused for its time.
    const std::pair<std::time_t, Hash> key{when, Sha256(fraction + '\n' + nonce)};
    std::lock_guard lock(mutex_);
    while (!seen_.empty() && seen_.begin()->first < now - kWindow.count()) seen_.erase(seen_.begin());
    const char* tooOld = "the token's Created time is older than the tokens this device still remembers; send a fresh one";
    if (when < floor_) return tooOld;
    if (seen_.count(key) != 0) return "the token's nonce was used before";
    // Full: the oldest seconds before this token's are forgotten; a second
    // that alone fills the memory cannot be, and refuses what comes more.
    while (seen_.size() >= remembered_ && seen_.begin()->first < when) {
        const std::time_t oldest = seen_.begin()->first;
        while (!seen_.empty() && seen_.begin()->first == oldest) seen_.erase(seen_.begin());
        floor_ = oldest + 1;
    }
    if (seen_.size() >= remembered_) return "too many tokens created in one second; try again shortly";
    seen_.insert(key);
    return "";
}

}  // namespace ptzd::onvif
