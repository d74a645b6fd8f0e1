#include "head_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace ptzsim {

namespace {

uint8_t Xor(std::span<const uint8_t> bytes) {
    uint8_t bcc = 0;
    for (uint8_t b : bytes) bcc ^= b;
    return bcc;
}

void Put32(std::vector<uint8_t>& out, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

int32_t Get32(const uint8_t* at) {
    return static_cast<int32_t>((uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) |
                                (uint32_t{at[2]} << 8) | uint32_t{at[3]});
}

constexpr uint8_t kRefused = 0x01;

}  // namespace

std::vector<uint8_t> ResponseFrame(uint8_t code, uint8_t status, std::span<const uint8_t> data) {
    std::vector<uint8_t> frame{0x02, 0x40, 0x00, code, status, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(0x03);
    frame.push_back(Xor(frame));
    return frame;
}

std::vector<uint8_t> RequestFrame(uint8_t code, std::span<const uint8_t> data) {
    std::vector<uint8_t> frame{0x02, 0x80, 0x00, code, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(0x03);
    frame.push_back(Xor(frame));
    return frame;
}

size_t RequestFrameLength(std::span<const uint8_t> bytes) {
    if (bytes.size() < 5) return 0;
    return size_t{bytes[4]} + 7;
}

size_t ResponseDataLength(uint8_t code, std::span<const uint8_t> data) {
    switch (code) {
        case 0x00: return 184;
        case 0x10: case 0x82: case 0x8B: return 4;
        case 0x85: case 0x95: case 0x99: return 1;
        case 0x98: return 8;
        case 0xF4: return data.size() >= 3 ? data[2] : 0;
        default: return 0;
    }
}

const char* CommandName(uint8_t code) {
    switch (code) {
        case 0x00: return "GetSystemInfo";
        case 0x10: return "GetSystemSettingInfo";
        case 0x12: return "SetIrControl";
        case 0x19: return "ExecInitialize";
        case 0x80: return "ExecMotorHP";
        case 0x81: return "SetMotorPos";
        case 0x82: return "GetMotorPos";
        case 0x83: return "ActMotor";
        case 0x84: return "StopMotor";
        case 0x85: return "GetMotorSpeed";
        case 0x86: return "SetMotorSpeed";
        case 0x8B: return "GetPTZStatus";
        case 0x8C: return "SetPTPos";
        case 0x8E: return "SetUserHP";
        case 0x8F: return "MoveUserHP";
        case 0x91: return "SetPresetPos";
        case 0x92: return "MovePresetPos";
        case 0x95: return "GetAutoReturn";
        case 0x96: return "SetAutoReturn";
        case 0x97: return "ExecAutoPan";
        case 0x98: return "GetPTPos";
        case 0x99: return "GetPanTiltSyncMode";
        case 0x9A: return "SetPanTiltSyncMode";
        case 0xF4: return "EepRead";
        case 0xF5: return "EepWrite";
        case 0xF6: return "EepBurn";
        default: return "?";
    }
}

std::string DescribeFrame(std::span<const uint8_t> f) {
    if (f.size() < 7 || f[0] != 0x02) return {};
    const bool request = f[1] == 0x80;
    const uint8_t code = f[3];
    std::string out = CommandName(code);
    const size_t dataAt = request ? 5 : 6;
    // A chunk too short for its header, ETX and BCC has no data to decode.
    const size_t dataLength = f.size() >= dataAt + 2 ? f.size() - dataAt - 2 : 0;
    const uint8_t* d = f.data() + dataAt;
    char text[96] = "";
    auto fits = [&](size_t n) { return dataLength >= n; };
    if (request) {
        switch (code) {
            case 0x12: if (fits(1)) std::snprintf(text, sizeof text, " control=%u", d[0]); break;
            case 0x80: case 0x82: case 0x84: case 0x85:
                if (fits(1)) std::snprintf(text, sizeof text, " motor=%u", d[0]);
                break;
            case 0x81:
                if (fits(6)) std::snprintf(text, sizeof text, " motor=%u param=%u position=%d", d[0], d[1], Get32(d + 2));
                break;
            case 0x83: if (fits(2)) std::snprintf(text, sizeof text, " motor=%u param=%u", d[0], d[1]); break;
            case 0x86: if (fits(2)) std::snprintf(text, sizeof text, " motor=%u speed=%u", d[0], d[1]); break;
            case 0x8C:
                if (fits(9)) std::snprintf(text, sizeof text, " param=%u pan=%d tilt=%d", d[0], Get32(d + 1), Get32(d + 5));
                break;
            case 0x8E: if (fits(1)) std::snprintf(text, sizeof text, " flag=%u", d[0]); break;
            case 0x91: if (fits(2)) std::snprintf(text, sizeof text, " preset=%u flag=%u", d[0], d[1]); break;
            case 0x92: if (fits(1)) std::snprintf(text, sizeof text, " preset=%u", d[0]); break;
            case 0x96: if (fits(1)) std::snprintf(text, sizeof text, " autoReturn=%u", d[0]); break;
            case 0x97: case 0x9A: if (fits(1)) std::snprintf(text, sizeof text, " mode=%u", d[0]); break;
            case 0xF4: case 0xF5:
                if (fits(3)) std::snprintf(text, sizeof text, " address=0x%04X count=%u", (d[0] << 8) | d[1], d[2]);
                break;
            default: break;
        }
        return out + text;
    }
    if (f[4] != 0) {
        std::snprintf(text, sizeof text, " refused, status %u", f[4]);
        return out + text;
    }
    switch (code) {
        case 0x10: case 0x8B:
            if (fits(4)) std::snprintf(text, sizeof text, " ok %u %u %u %u", d[0], d[1], d[2], d[3]);
            break;
        case 0x82: if (fits(4)) std::snprintf(text, sizeof text, " ok position=%d", Get32(d)); break;
        case 0x85: case 0x95: case 0x99: if (fits(1)) std::snprintf(text, sizeof text, " ok value=%u", d[0]); break;
        case 0x98: if (fits(8)) std::snprintf(text, sizeof text, " ok pan=%d tilt=%d", Get32(d), Get32(d + 4)); break;
        case 0xF4: std::snprintf(text, sizeof text, " ok %zu bytes", dataLength); break;
        default: std::snprintf(text, sizeof text, " ok"); break;
    }
    return out + text;
}

HeadModel::HeadModel(std::string eepromFile) : eepromFile_(std::move(eepromFile)) {
    state_.motorSpeed.fill(100);
    if (!eepromFile_.empty()) {
        std::ifstream in(eepromFile_, std::ios::binary);
        if (in) in.read(reinterpret_cast<char*>(state_.eepromBurned.data()), 65536);
        state_.eeprom = state_.eepromBurned;
    }
}

void HeadModel::Burn() {
    state_.eepromBurned = state_.eeprom;
    ++state_.burns;
    if (!eepromFile_.empty()) {
        std::ofstream out(eepromFile_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(state_.eepromBurned.data()), 65536);
    }
}

void HeadModel::Advance() {
    const int64_t now = clock ? clock()
                              : std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch()).count();
    const int64_t elapsed = lastAdvanceMs_ < 0 ? 0 : now - lastAdvanceMs_;
    lastAdvanceMs_ = now;
    if (!motion || elapsed <= 0) return;
    for (int m = 0; m < 256; ++m) {
        int32_t& position = state_.motorPosition[m];
        const int32_t target = state_.motorTarget[m];
        if (position == target) continue;
        const double rate = kUnitsPerSecondPerSpeed * std::max<int>(1, state_.motorSpeed[m]);
        const double step = rate * static_cast<double>(elapsed) / 1000.0 + state_.motorCarry[m];
        const int64_t whole = static_cast<int64_t>(step);
        state_.motorCarry[m] = step - static_cast<double>(whole);
        const int64_t remaining = static_cast<int64_t>(target) - position;
        if (whole >= (remaining < 0 ? -remaining : remaining)) {
            position = target;
            state_.motorCarry[m] = 0;
        } else {
            position = static_cast<int32_t>(position + (remaining < 0 ? -whole : whole));
        }
    }
}

void HeadModel::MoveTo(int motor, int32_t position) {
    state_.motorTarget[motor] = position;
    if (!motion) state_.motorPosition[motor] = position;
}

std::vector<uint8_t> HeadModel::Answer(std::span<const uint8_t> request) {
    Advance();
    if (request.size() < 7 || request[0] != 0x02 || request[1] != 0x80 ||
        RequestFrameLength(request) != request.size() || request[request.size() - 2] != 0x03 ||
        Xor(request.first(request.size() - 1)) != request.back())
        return {};
    const uint8_t code = request[3];
    const auto data = request.subspan(5, request[4]);
    uint8_t status = 0;
    std::vector<uint8_t> answer = Handle(code, data, status);
    if (refuseCode == code || refuseCode == kRefuseAll) status = kRefused;
    // A refusal still has the length the host waits for, with zero data.
    if (status != 0) answer.assign(ResponseDataLength(code, data), 0);
    return ResponseFrame(code, status, answer);
}

std::vector<uint8_t> HeadModel::Handle(uint8_t code, std::span<const uint8_t> data, uint8_t& status) {
    auto& s = state_;
    auto need = [&](size_t n) {
        if (data.size() < n) status = kRefused;
        return data.size() >= n;
    };
    std::vector<uint8_t> out;
    switch (code) {
        case 0x00: {  // system information: three 13-byte texts at data 24, 72, 120
            out.assign(184, 0);
            const size_t offsets[3] = {24, 72, 120};
            for (int i = 0; i < 3; ++i)
                std::memcpy(out.data() + offsets[i], s.texts[i].data(), std::min<size_t>(13, s.texts[i].size()));
            break;
        }
        case 0x10:  // settings: pan speed, tilt speed, auto-return, infrared
            out = {s.motorSpeed[kPanMotor], s.motorSpeed[kTiltMotor], s.autoReturn, s.irControl};
            break;
        case 0x8B:  // status bytes; 0x00 reads as "true" on the host side
            out = {static_cast<uint8_t>(s.initialised ? 0 : 1),
                   static_cast<uint8_t>(Moving(kPanMotor) || Moving(kTiltMotor) ? 1 : 0),
                   static_cast<uint8_t>(s.home.stored ? 0 : 1), static_cast<uint8_t>(s.autoPanMode ? 1 : 0)};
            break;
        case 0x12:
            if (need(1)) s.irControl = data[0];
            break;
        case 0x19:
            s.initialised = true;
            break;
        case 0x80:  // home the motor
            if (need(1)) MoveTo(data[0], 0);
            break;
        case 0x81:
            if (need(6)) MoveTo(data[0], Get32(data.data() + 2));
            break;
        case 0x82:
            if (need(1)) Put32(out, s.motorPosition[data[0]]);
            break;
        case 0x83:
            need(2);
            break;
        case 0x84:  // stop where the motor is
            if (need(1)) s.motorTarget[data[0]] = s.motorPosition[data[0]];
            break;
        case 0x85:
            if (need(1)) {
                if (data[0] == kPanMotor || data[0] == kTiltMotor) out = {s.motorSpeed[data[0]]};
                else status = kRefused;
            }
            break;
        case 0x86:
            if (need(2)) s.motorSpeed[data[0]] = data[1];
            break;
        case 0x8C:
            if (need(9)) {
                MoveTo(kPanMotor, Get32(data.data() + 1));
                MoveTo(kTiltMotor, Get32(data.data() + 5));
            }
            break;
        case 0x98:
            Put32(out, s.motorPosition[kPanMotor]);
            Put32(out, s.motorPosition[kTiltMotor]);
            break;
        case 0x99:
            out = {s.syncMode};
            break;
        case 0x9A:
            if (need(1)) s.syncMode = data[0];
            break;
        case 0x8E:
            if (need(1)) s.home = {true, s.motorPosition[kPanMotor], s.motorPosition[kTiltMotor]};
            break;
        case 0x8F:
            if (!s.home.stored) {
                status = kRefused;
            } else {
                MoveTo(kPanMotor, s.home.pan);
                MoveTo(kTiltMotor, s.home.tilt);
            }
            break;
        case 0x91:
            if (need(2)) {
                if (data[0] < 1 || data[0] > 16) status = kRefused;
                else s.presets[data[0]] = {true, s.motorPosition[kPanMotor], s.motorPosition[kTiltMotor]};
            }
            break;
        case 0x92:
            if (need(1)) {
                if (data[0] < 1 || data[0] > 16 || !s.presets[data[0]].stored) {
                    status = kRefused;
                } else {
                    MoveTo(kPanMotor, s.presets[data[0]].pan);
                    MoveTo(kTiltMotor, s.presets[data[0]].tilt);
                }
            }
            break;
        case 0x95:
            out = {s.autoReturn};
            break;
        case 0x96:
            if (need(1)) s.autoReturn = data[0];
            break;
        case 0x97:
            if (need(1)) {
                if (data[0] == 0 || data[0] == 2) s.autoPanMode = data[0];
                else status = kRefused;
            }
            break;
        case 0xF4:
            if (need(3)) {
                const unsigned address = (unsigned{data[0]} << 8) | data[1];
                for (unsigned i = 0; i < data[2]; ++i) out.push_back(s.eeprom[(address + i) & 0xFFFF]);
            }
            break;
        case 0xF5:
            if (need(3) && need(size_t{3} + data[2])) {
                const unsigned address = (unsigned{data[0]} << 8) | data[1];
                for (unsigned i = 0; i < data[2]; ++i) s.eeprom[(address + i) & 0xFFFF] = data[3 + i];
            }
            break;
        case 0xF6:
            Burn();
            break;
        default:
            status = kRefused;
            break;
    }
    return out;
}

}  // namespace ptzsim
