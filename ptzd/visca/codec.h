// VISCA as broadcast controllers speak it to a camera: the messages a
// pan/tilt head can serve, their replies, and the 8-byte header that VISCA
// over IP puts in front of each message on UDP.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ptzd::visca {

// VISCA over IP payload types.
constexpr uint16_t kCommand = 0x0100;
constexpr uint16_t kInquiry = 0x0110;
constexpr uint16_t kReply = 0x0111;
constexpr uint16_t kControl = 0x0200;
constexpr uint16_t kControlReply = 0x0201;
constexpr size_t kHeaderSize = 8;
// No VISCA message a head takes is longer.
constexpr size_t kMaxMessage = 16;

struct IpHeader {
    uint16_t type = 0;
    uint16_t length = 0;
    uint32_t sequence = 0;
};
// The header of a UDP datagram; false when it is shorter than a header or
// its length field disagrees with what follows it.
bool ParseIpHeader(std::span<const uint8_t> datagram, IpHeader& header);
std::vector<uint8_t> IpPacket(uint16_t type, uint32_t sequence, std::span<const uint8_t> payload);

// Error codes of the error reply 90 6y EE FF.
constexpr uint8_t kSyntaxError = 0x02;
constexpr uint8_t kBufferFull = 0x03;
constexpr uint8_t kCanceled = 0x04;
constexpr uint8_t kNoSocket = 0x05;
constexpr uint8_t kNotExecutable = 0x41;

std::vector<uint8_t> Ack(int socket);
std::vector<uint8_t> Completion(int socket, std::span<const uint8_t> data = {});
std::vector<uint8_t> Error(int socket, uint8_t code);

enum class Kind {
    Invalid,          // not a VISCA message a camera would accept: syntax error
    NotExecutable,    // a valid camera command a pan/tilt head cannot carry out (zoom, focus, ...)
    IfClear,          // 8x 01 00 01 FF (88 01 00 01 FF broadcast)
    AddressSet,       // 88 30 0p FF
    Cancel,           // 8x 2y FF
    Drive,            // 8x 01 06 01 VV WW pp tt FF
    Absolute,         // 8x 01 06 02 VV WW 0Y0Y0Y0Y 0Z0Z0Z0Z FF
    Relative,         // 8x 01 06 03 VV WW ...
    Home,             // 8x 01 06 04 FF
    Reset,            // 8x 01 06 05 FF
    MemoryReset,      // 8x 01 04 3F 00 pp FF
    MemorySet,        // 8x 01 04 3F 01 pp FF
    MemoryRecall,     // 8x 01 04 3F 02 pp FF
    InquirePosition,  // 8x 09 06 12 FF
    InquirePower,     // 8x 09 04 00 FF
    InquireVersion,   // 8x 09 00 02 FF
    InquireMaxSpeed,  // 8x 09 06 11 FF
    InquireStatus,    // 8x 09 06 10 FF: pan/tilt status (moving or not)
};

struct Message {
    Kind kind = Kind::Invalid;
    int address = 0;    // 1..7 for a camera, 8 for the broadcast address
    int socket = 0;     // Cancel: the socket to cancel
    int panSpeed = 0;   // 1..0x18
    int tiltSpeed = 0;  // 1..0x17
    int panDirection = 0;   // Drive: -1 left, +1 right, 0 stop
    int tiltDirection = 0;  // Drive: +1 up, -1 down, 0 stop
    int32_t pan = 0, tilt = 0;  // Absolute, Relative: signed 16-bit positions
    int memory = 0;     // memory number 0..127
    bool inquiry() const { return kind >= Kind::InquirePosition; }
    bool command() const { return kind >= Kind::Drive && kind <= Kind::MemoryRecall; }
};

// Parses one whole message (from its address byte to its FF terminator).
Message Parse(std::span<const uint8_t> bytes);

// The four nibbles 0p 0q 0r 0s of a signed 16-bit value, and back.
void PutNibbles(std::vector<uint8_t>& out, int32_t value);
int32_t Nibbles(std::span<const uint8_t> four);

// Cuts a byte stream (VISCA over TCP, serial-style) into messages at each FF;
// an over-long run without FF is reported once and skipped up to the next FF.
class StreamSplitter {
public:
    // Calls onMessage(bytes) for each whole message and onOverlong() for each
    // run of more than kMaxMessage bytes without a terminator.
    template <class Message, class Overlong>
    void Feed(std::span<const uint8_t> bytes, Message&& onMessage, Overlong&& onOverlong) {
        for (uint8_t b : bytes) {
            if (skipping_) {
                if (b == 0xFF) skipping_ = false;
                continue;
            }
            pending_.push_back(b);
            if (b == 0xFF) {
                onMessage(std::span<const uint8_t>(pending_));
                pending_.clear();
            } else if (pending_.size() >= kMaxMessage) {
                pending_.clear();
                skipping_ = true;
                onOverlong();
            }
        }
    }

private:
    std::vector<uint8_t> pending_;
    bool skipping_ = false;
};

std::string Hex(std::span<const uint8_t> bytes);

}  // namespace ptzd::visca
