#include "onvif/identity.h"

#include <cstdio>
#include <openssl/evp.h>

namespace ptzd::onvif {

namespace {

std::string Hex(const unsigned char* bytes, size_t n, const char* separator, const std::initializer_list<size_t>& breaks) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        for (size_t b : breaks)
            if (b == i) out += separator;
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

Identity IdentityOf(const std::string& gateway, const std::string& head) {
    // The two names with a separator neither may hold, so ("a", "b.c") and
    // ("a.b", "c") differ.
    const std::string name = gateway + "/" + head;
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(name.data(), name.size(), d, &length, EVP_sha256(), nullptr);
    Identity id;
    unsigned char mac[6] = {static_cast<unsigned char>((d[0] & 0xfc) | 0x02), d[1], d[2], d[3], d[4], d[5]};
    id.mac = Hex(mac, 6, ":", {1, 2, 3, 4, 5});
    unsigned char u[16];
    for (int i = 0; i < 16; ++i) u[i] = d[16 + i];
    u[6] = static_cast<unsigned char>((u[6] & 0x0f) | 0x50);  // a name-based UUID
    u[8] = static_cast<unsigned char>((u[8] & 0x3f) | 0x80);  // of the RFC 4122 variant
    id.uuid = Hex(u, 16, "-", {4, 6, 8, 10});
    id.serial = name;
    return id;
}

std::string ScopeSegment(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                                c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace ptzd::onvif
