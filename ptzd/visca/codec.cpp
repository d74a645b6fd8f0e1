#include "codec.h"

#include <cstdio>

namespace ptzd::visca {

namespace {

constexpr uint8_t kTerminator = 0xFF;
constexpr uint8_t kReplyHeader = 0x90;  // from camera 1 to the controller

bool AllNibbles(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes)
        if (b > 0x0F) return false;
    return true;
}

}  // namespace

bool ParseIpHeader(std::span<const uint8_t> datagram, IpHeader& header) {
    if (datagram.size() < kHeaderSize) return false;
    header.type = static_cast<uint16_t>(datagram[0] << 8 | datagram[1]);
    header.length = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
    header.sequence = static_cast<uint32_t>(datagram[4]) << 24 | static_cast<uint32_t>(datagram[5]) << 16 |
                      static_cast<uint32_t>(datagram[6]) << 8 | datagram[7];
    return header.length == datagram.size() - kHeaderSize;
}

std::vector<uint8_t> IpPacket(uint16_t type, uint32_t sequence, std::span<const uint8_t> payload) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                                static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size()),
                                static_cast<uint8_t>(sequence >> 24), static_cast<uint8_t>(sequence >> 16),
                                static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> Ack(int socket) {
    return {kReplyHeader, static_cast<uint8_t>(0x40 | (socket & 0x0F)), kTerminator};
}

std::vector<uint8_t> Completion(int socket, std::span<const uint8_t> data) {
    std::vector<uint8_t> out = {kReplyHeader, static_cast<uint8_t>(0x50 | (socket & 0x0F))};
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(kTerminator);
    return out;
}

std::vector<uint8_t> Error(int socket, uint8_t code) {
    return {kReplyHeader, static_cast<uint8_t>(0x60 | (socket & 0x0F)), code, kTerminator};
}

void PutNibbles(std::vector<uint8_t>& out, int32_t value) {
    const auto v = static_cast<uint16_t>(value);
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(static_cast<uint8_t>((v >> shift) & 0x0F));
}

int32_t Nibbles(std::span<const uint8_t> four) {
    uint16_t v = 0;
    for (uint8_t b : four) v = static_cast<uint16_t>(v << 4 | (b & 0x0F));
    return static_cast<int16_t>(v);
}

Message Parse(std::span<const uint8_t> b) {
    Message m;
    const size_t n = b.size();
    if (n < 3 || n > kMaxMessage || b[n - 1] != kTerminator || (b[0] & 0xF0) != 0x80) return m;
    for (size_t i = 1; i + 1 < n; ++i)
        if (b[i] > 0x7F) return m;  // only the first and the last byte have their top bit set
    m.address = b[0] & 0x0F;
    if (m.address == 0 || m.address > 8) return m;
    auto is = [&](std::initializer_list<uint8_t> body) {
        if (body.size() != n - 2) return false;
        size_t i = 1;
        for (uint8_t x : body)
            if (b[i++] != x) return false;
        return true;
    };
    auto set = [&](Kind k) {
        m.kind = k;
        return m;
    };
    if (m.address == 8) {  // broadcast: only the interface's own messages
        if (is({0x30, 0x01})) return set(Kind::AddressSet);
        if (is({0x01, 0x00, 0x01})) return set(Kind::IfClear);
        return m;
    }
    if (n == 3 && (b[1] & 0xF0) == 0x20) {
        m.socket = b[1] & 0x0F;
        return set(Kind::Cancel);
    }
    if (n < 5) return m;
    const uint8_t category = b[1];
    if (category == 0x01) {  // commands
        if (is({0x01, 0x00, 0x01})) return set(Kind::IfClear);
        if (b[2] == 0x06) {
            switch (b[3]) {
            case 0x01:
                // An axis that stops (direction 3) has no speed: controllers
                // send anything there, 00 among them, with their stop.
                if (n != 9 || b[6] < 1 || b[6] > 3 || b[7] < 1 || b[7] > 3 ||
                    (b[6] != 3 && (b[4] < 0x01 || b[4] > 0x18)) || (b[7] != 3 && (b[5] < 0x01 || b[5] > 0x17)))
                    return m;
                m.panSpeed = b[4];
                m.tiltSpeed = b[5];
                m.panDirection = b[6] == 1 ? -1 : b[6] == 2 ? 1 : 0;
                m.tiltDirection = b[7] == 1 ? 1 : b[7] == 2 ? -1 : 0;
                return set(Kind::Drive);
            case 0x02:
            case 0x03:
                if (n != 15 || b[4] < 0x01 || b[4] > 0x18 || b[5] < 0x01 || b[5] > 0x17 || !AllNibbles(b.subspan(6, 8)))
                    return m;
                m.panSpeed = b[4];
                m.tiltSpeed = b[5];
                m.pan = Nibbles(b.subspan(6, 4));
                m.tilt = Nibbles(b.subspan(10, 4));
                return set(b[3] == 0x02 ? Kind::Absolute : Kind::Relative);
            case 0x04:
                return n == 5 ? set(Kind::Home) : m;
            case 0x05:
                return n == 5 ? set(Kind::Reset) : m;
            default:
                return set(Kind::NotExecutable);  // limits, ramps and the rest of the pan/tilt group
            }
        }
        if (b[2] == 0x04 && b[3] == 0x3F) {
            if (n != 7 || b[4] > 2) return m;
            m.memory = b[5];
            return set(b[4] == 0 ? Kind::MemoryReset : b[4] == 1 ? Kind::MemorySet : Kind::MemoryRecall);
        }
        // Zoom, focus, exposure, white balance, ...: a camera's, not a head's.
        if (b[2] == 0x04) return set(Kind::NotExecutable);
        return m;  // a category no camera has: a syntax error, and no socket taken
    }
    if (category == 0x09) {  // inquiries
        if (is({0x09, 0x06, 0x12})) return set(Kind::InquirePosition);
        if (is({0x09, 0x04, 0x00})) return set(Kind::InquirePower);
        if (is({0x09, 0x00, 0x02})) return set(Kind::InquireVersion);
        if (is({0x09, 0x06, 0x11})) return set(Kind::InquireMaxSpeed);
        if (is({0x09, 0x06, 0x10})) return set(Kind::InquireStatus);
        if (b[2] == 0x04) return set(Kind::NotExecutable);  // the camera's own (zoom position, ...)
        return m;  // an inquiry no camera knows: a syntax error
    }
    return m;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, out.empty() ? "%02X" : " %02X", b);
        out += two;
    }
    return out;
}

}  // namespace ptzd::visca
