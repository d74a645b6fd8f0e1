// The head simulator's model: a stateful pan/tilt head that takes a request
// frame and produces its response frame.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace ptzsim {

struct Preset {
    bool stored = false;
    int32_t pan = 0;
    int32_t tilt = 0;
};

// The head's state. Motor 0 drives pan and motor 4 drives tilt; other motor
// numbers are independent axes.
struct HeadState {
    std::array<int32_t, 256> motorPosition{};
    std::array<int32_t, 256> motorTarget{};  // where each motor is heading (its position when idle)
    std::array<double, 256> motorCarry{};    // the part of a unit moved but not yet counted
    std::array<uint8_t, 256> motorSpeed{};
    uint8_t syncMode = 0;
    Preset home;
    std::array<Preset, 17> presets{};  // 1..16
    uint8_t autoReturn = 0;
    uint8_t autoPanMode = 0;
    uint8_t irControl = 0;
    bool initialised = false;
    std::array<std::string, 3> texts{"PTZ-SIM", "1.0.0", "SIM-000001"};
    std::vector<uint8_t> eeprom = std::vector<uint8_t>(65536, 0xFF);  // working copy
    std::vector<uint8_t> eepromBurned = std::vector<uint8_t>(65536, 0xFF);
    unsigned burns = 0;
};

class HeadModel {
public:
    static constexpr int kPanMotor = 0;
    static constexpr int kTiltMotor = 4;

    // Where burned EEPROM contents are kept between runs; empty: memory only.
    explicit HeadModel(std::string eepromFile = {});

    // Answers one request frame. Returns the response frame; a malformed
    // request (bad STX, mark, length or BCC) gets an empty answer, which the
    // serial transport turns into NAK.
    std::vector<uint8_t> Answer(std::span<const uint8_t> request);

    HeadState& State() { return state_; }
    const HeadState& State() const { return state_; }

    // A command code that the head refuses with status 1 (-1: none,
    // kRefuseAll: every command).
    static constexpr int kRefuseAll = 0x100;
    int refuseCode = -1;

    // Motion: off (the default), every move arrives at once; on, a motor
    // moves toward its target at kUnitsPerSecondPerSpeed x its speed (at
    // least speed 1), reads show where it is on the way, a stop halts it
    // where it is, and status byte 1 is 0x01 while pan or tilt moves.
    static constexpr int kUnitsPerSecondPerSpeed = 50;
    bool motion = false;
    // Milliseconds on a monotonic clock; tests may set their own.
    std::function<int64_t()> clock;
    // Brings every moving motor up to now.
    void Advance();
    bool Moving(int motor) const { return state_.motorPosition[motor] != state_.motorTarget[motor]; }

private:
    std::vector<uint8_t> Handle(uint8_t code, std::span<const uint8_t> data, uint8_t& status);
    void MoveTo(int motor, int32_t position);
    int64_t lastAdvanceMs_ = -1;
    void Burn();

    HeadState state_;
    std::string eepromFile_;
};

// The length of the request frame that starts at bytes[0], once at least
// five bytes are known; 0 if not yet known.
size_t RequestFrameLength(std::span<const uint8_t> bytes);

// Cuts a byte stream into request frames: bytes before an STX are line
// noise and skipped; a frame is complete once its length byte's worth of
// data, ETX and BCC have arrived.
class FrameSplitter {
public:
    template <class F>
    void Feed(std::span<const uint8_t> bytes, F&& onFrame) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        for (;;) {
            size_t skip = 0;
            while (skip < pending_.size() && pending_[skip] != 0x02) ++skip;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(skip));
            const size_t length = RequestFrameLength(pending_);
            if (length == 0 || pending_.size() < length) return;
            const std::vector<uint8_t> frame(pending_.begin(), pending_.begin() + static_cast<long>(length));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
            if (!onFrame(frame)) return;
        }
    }

private:
    std::vector<uint8_t> pending_;
};

// Builds a response frame: STX '@' 00 code status length data ETX BCC.
std::vector<uint8_t> ResponseFrame(uint8_t code, uint8_t status, std::span<const uint8_t> data);
// Builds a request frame the way the library does (for tests and tools).
std::vector<uint8_t> RequestFrame(uint8_t code, std::span<const uint8_t> data);
// How many data bytes the answer to a request carries.
size_t ResponseDataLength(uint8_t code, std::span<const uint8_t> data);
// One frame in words: the command, its fields, and for an answer its
// status and decoded values ("SetPTPos param=1 pan=1000 tilt=-500").
std::string DescribeFrame(std::span<const uint8_t> frame);
// A readable name of a command code ("GetPTPos"), "?" when unknown.
const char* CommandName(uint8_t code);

}  // namespace ptzsim
