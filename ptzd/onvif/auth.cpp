#include "auth.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "soap.h"

namespace ptzd::onvif {

namespace {

std::string Base64(const unsigned char* bytes, size_t count) {
    std::vector<unsigned char> out(4 * ((count + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), bytes, static_cast<int>(count));
    return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
}

bool Unbase64(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1024) return false;
    std::vector<unsigned char> out(text.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t length = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --length;  // padding decodes as zeros
    bytes.assign(reinterpret_cast<char*>(out.data()), length);
    return true;
}

std::string Trimmed(const char* text) {
    std::string s = text;
    const size_t a = s.find_first_not_of(" \t\r\n"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

}  // namespace

std::string DigestOf(const std::string& nonceBytes, const std::string& created, const std::string& password) {
    const std::string input = nonceBytes + created + password;
    unsigned char sha[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), sha);
    return Base64(sha, sizeof sha);
}

bool ParseUtc(const std::string& text, std::time_t& when) {
    std::tm t{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &t);
    if (end == nullptr) return false;
    if (*end == '.')
        for (++end; *end >= '0' && *end <= '9'; ++end) {
        }
    if (std::strcmp(end, "Z") != 0 && std::strcmp(end, "+00:00") != 0) return false;
    if (t.tm_year < 70 || t.tm_year > 8099) return false;  // 1970 to 9999
    when = timegm(&t);
    return true;
}

std::string Authenticator::Check(const pugi::xml_node& header) {
    if (!Required()) return "";
    const pugi::xml_node security = Child(header, kWsse, "Security");
    const pugi::xml_node token = security ? Child(security, kWsse, "UsernameToken") : pugi::xml_node{};
    if (!token) return "this device wants a WS-Security UsernameToken";
    const pugi::xml_node password = Child(token, kWsse, "Password");
    const std::string user = Trimmed(Child(token, kWsse, "Username").text().get());
    const std::string given = Trimmed(password.text().get());
    const std::string type = password.attribute("Type").value();
    const bool text = type.size() >= 12 && type.compare(type.size() - 12, 12, "PasswordText") == 0;
    if (user != user_) return "unknown user or wrong password";
    if (text) return given == password_ ? "" : "unknown user or wrong password";

    const std::string nonceText = Trimmed(Child(token, kWsse, "Nonce").text().get());
    const std::string created = Trimmed(Child(token, kWsu, "Created").text().get());
    std::string nonce;
    std::time_t when = 0;
    if (!Unbase64(nonceText, nonce) || !ParseUtc(created, when)) return "the token's nonce or time is malformed";
    // Compared in seconds: a far-off time can never overflow a clock here.
    const std::time_t seconds = std::time(nullptr);
    if (when < seconds - kWindow.count() || when > seconds + kWindow.count())
        return "the token's Created time is outside five minutes of ours";
    const auto now = std::chrono::system_clock::now();
    if (DigestOf(nonce, created, password_) != given) return "unknown user or wrong password";
    std::lock_guard lock(mutex_);
    for (auto it = nonces_.begin(); it != nonces_.end();)
        it = it->second < now - kWindow ? nonces_.erase(it) : std::next(it);
    if (!nonces_.emplace(nonceText, now).second) return "the token's nonce was used before";
    return "";
}

}  // namespace ptzd::onvif
