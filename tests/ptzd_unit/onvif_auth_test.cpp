// The WS-Security token check under a client that polls back to back: the
// memory of tokens is bounded, a fresh token is always taken, a replay of a
// remembered one never is, and neither is an older one it can no longer check.
#include <gtest/gtest.h>

#include <ctime>
#include <pugixml.hpp>
#include <string>

#include "onvif/auth.h"

namespace {

using ptzd::onvif::Authenticator;

std::string Utc(std::time_t t) {
    char text[32];
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A PasswordDigest token's Security header, checked by `auth`.
std::string Check(Authenticator& auth, const std::string& nonce, std::time_t created, const char* password = "secret") {
    std::string nonce64;
    // Base64 of 16 bytes: the nonce padded to 16 with its own letters.
    std::string bytes = nonce;
    bytes.resize(16, '.');
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t n = (uint8_t(bytes[i]) << 16) | (i + 1 < bytes.size() ? uint8_t(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < bytes.size() ? uint8_t(bytes[i + 2]) : 0);
        nonce64 += digits[n >> 18 & 63];
        nonce64 += digits[n >> 12 & 63];
        nonce64 += i + 1 < bytes.size() ? digits[n >> 6 & 63] : '=';
        nonce64 += i + 2 < bytes.size() ? digits[n & 63] : '=';
    }
    const std::string when = Utc(created);
    const std::string xml =
        "<h><wsse:Security xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd\" "
        "xmlns:wsu=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd\"><wsse:UsernameToken>"
        "<wsse:Username>admin</wsse:Username><wsse:Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
        "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
        ptzd::onvif::DigestOf(bytes, when, password) + "</wsse:Password><wsse:Nonce>" + nonce64 +
        "</wsse:Nonce><wsu:Created>" + when + "</wsu:Created></wsse:UsernameToken></wsse:Security></h>";
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(xml.c_str()));
    return auth.Check(doc.first_child());
}

TEST(OnvifAuth, AFullMemoryForgetsItsOldestSecondAndNeverRefusesAFreshToken) {
    Authenticator auth("admin", "secret", false, 4);
    const std::time_t now = std::time(nullptr);
    // Four tokens over two seconds fill the memory.
    EXPECT_EQ(Check(auth, "a", now - 20), "");
    EXPECT_EQ(Check(auth, "b", now - 20), "");
    EXPECT_EQ(Check(auth, "c", now - 10), "");
    EXPECT_EQ(Check(auth, "d", now - 10), "");
    EXPECT_NE(Check(auth, "c", now - 10).find("used before"), std::string::npos);
    // A fifth, fresh: taken; the oldest second goes, and with it every token of it or older.
    EXPECT_EQ(Check(auth, "e", now), "");
    EXPECT_NE(Check(auth, "a", now - 20).find("older than"), std::string::npos);  // a replay of a forgotten one
    EXPECT_NE(Check(auth, "z", now - 25).find("older than"), std::string::npos);  // new, but no longer checkable
    EXPECT_EQ(Check(auth, "y", now - 15), "");  // after the forgotten second: every token since is still known
    EXPECT_NE(Check(auth, "d", now - 10).find("used before"), std::string::npos);
    EXPECT_NE(Check(auth, "e", now).find("used before"), std::string::npos);
    // Back to back, many more than it holds: every fresh one is taken, every replay refused.
    Authenticator poller("admin", "secret", false, 4);
    for (int i = 0; i < 200; ++i) {
        const std::string nonce = "n" + std::to_string(i);
        const std::time_t created = now - 200 + i / 2;  // two a second
        EXPECT_EQ(Check(poller, nonce, created), "") << i;
        EXPECT_NE(Check(poller, nonce, created), "") << i;
    }
    // More in one second than it can hold: refused, never taken unchecked.
    EXPECT_EQ(Check(poller, "x1", now), "");
    EXPECT_EQ(Check(poller, "x2", now), "");
    EXPECT_EQ(Check(poller, "x3", now), "");
    EXPECT_EQ(Check(poller, "x4", now), "");
    EXPECT_NE(Check(poller, "x5", now).find("too many"), std::string::npos);
    EXPECT_NE(Check(poller, "x1", now).find("used before"), std::string::npos);
    EXPECT_EQ(Check(auth, "w", now, "wrong"), "unknown user or wrong password");
}

}  // namespace
