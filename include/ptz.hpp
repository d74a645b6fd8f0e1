// ptz.hpp - a header-only C++17 class over the library's handle interface.
//
//   ptz::Link pan = ptz::Link::lan("10.0.0.7", 4001);
//   pan.set_pt_pos(1, 1000, -500);
//   auto [p, t] = pan.pt_pos();
//
// A Link owns one link handle: move-only, closed by its destructor. Every
// failure throws ptz::Error, which carries the kind and code of the calling
// thread's record and the library's text for them; a rejected argument
// throws with result() == PTZ_BAD_PARAM. Works against the shared library
// and the Windows DLL alike.
#ifndef PTZ_HPP
#define PTZ_HPP

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ptz.h"

namespace ptz {

class Error : public std::runtime_error {
public:
    Error(const std::string& call, int32_t result, int32_t kind, int32_t code)
        : std::runtime_error(Describe(call, result, kind, code)), result_(result), kind_(kind), code_(code) {}
    // PTZ_FAILED, or PTZ_BAD_PARAM for a rejected argument (kind and code 0).
    int32_t result() const noexcept { return result_; }
    int32_t kind() const noexcept { return kind_; }
    int32_t code() const noexcept { return code_; }

    // The library's English text for a kind and code.
    static std::string text(int32_t kind, int32_t code) {
        char buffer[320];
        PTZ_GetErrorText(kind, code, buffer, sizeof buffer);
        return buffer;
    }

private:
    static std::string Describe(const std::string& call, int32_t result, int32_t kind, int32_t code) {
        if (result == PTZ_BAD_PARAM) return call + ": argument rejected, nothing was sent";
        return call + ": " + text(kind, code) + " (kind " + std::to_string(kind) + ", code " + std::to_string(code) +
               ")";
    }
    int32_t result_, kind_, code_;
};

namespace detail {
inline void Check(const char* call, int32_t result) {
    if (result == PTZ_OK) return;
    int32_t kind = 0, code = 0;
    if (result == PTZ_FAILED) PTZ_LinkLastError(&kind, &code);
    throw Error(call, result, kind, code);
}
}  // namespace detail

class Link {
public:
    // A TCP link: dotted IPv4, IPv6 or a host name.
    static Link lan(const std::string& host, int32_t port) {
        int32_t handle = 0;
        detail::Check("PTZ_LinkOpenLan", PTZ_LinkOpenLan(host.c_str(), port, &handle));
        return Link(handle);
    }
    // A serial link on COM<port> (/dev/ttyS<port-1> on Linux).
    static Link com(int32_t port) {
        int32_t handle = 0;
        detail::Check("PTZ_LinkOpenCom", PTZ_LinkOpenCom(port, &handle));
        return Link(handle);
    }
    // A serial link on a device path.
    static Link path(const std::string& device) {
        int32_t handle = 0;
        detail::Check("PTZ_LinkOpenPath", PTZ_LinkOpenPath(device.c_str(), &handle));
        return Link(handle);
    }

    Link(Link&& other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
    Link& operator=(Link&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, 0);
        }
        return *this;
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() { reset(); }

    // Closes the link now (the destructor does it otherwise).
    void close() {
        if (handle_ != 0) detail::Check("PTZ_LinkClose", PTZ_LinkClose(std::exchange(handle_, 0)));
    }
    int32_t handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != 0; }

    // ---- information and status ----
    void initialize() { Run("PTZ_LinkExecInitialize", PTZ_LinkExecInitialize(handle_)); }
    PTZ_SYSTEM_INFO system_info() {
        PTZ_SYSTEM_INFO info{};
        Run("PTZ_LinkGetSystemInfo", PTZ_LinkGetSystemInfo(handle_, &info));
        return info;
    }
    PTZ_SYSTEM_SETTING_INFO settings() {
        PTZ_SYSTEM_SETTING_INFO settings{};
        Run("PTZ_LinkGetSystemSettingInfo", PTZ_LinkGetSystemSettingInfo(handle_, &settings));
        return settings;
    }
    PTZ_STATUS status() {
        PTZ_STATUS status{};
        Run("PTZ_LinkGetPTZStatus", PTZ_LinkGetPTZStatus(handle_, &status));
        return status;
    }

    // ---- motors ----
    void motor_home(int32_t motor) { Run("PTZ_LinkExecMotorHP", PTZ_LinkExecMotorHP(handle_, motor)); }
    void set_motor_pos(int32_t motor, int32_t param, int32_t position) {
        Run("PTZ_LinkSetMotorPos", PTZ_LinkSetMotorPos(handle_, motor, param, position));
    }
    int32_t motor_pos(int32_t motor) {
        int32_t position = 0;
        Run("PTZ_LinkGetMotorPos", PTZ_LinkGetMotorPos(handle_, motor, &position));
        return position;
    }
    void act_motor(int32_t motor, int32_t param) { Run("PTZ_LinkActMotor", PTZ_LinkActMotor(handle_, motor, param)); }
    void stop_motor(int32_t motor) { Run("PTZ_LinkStopMotor", PTZ_LinkStopMotor(handle_, motor)); }
    int32_t motor_speed(int32_t motor) {
        int32_t speed = 0;
        Run("PTZ_LinkGetMotorSpeed", PTZ_LinkGetMotorSpeed(handle_, motor, &speed));
        return speed;
    }
    void set_motor_speed(int32_t motor, int32_t speed) {
        Run("PTZ_LinkSetMotorSpeed", PTZ_LinkSetMotorSpeed(handle_, motor, speed));
    }

    // ---- pan/tilt ----
    void set_pt_pos(int32_t param, int32_t pan, int32_t tilt) {
        Run("PTZ_LinkSetPTPos", PTZ_LinkSetPTPos(handle_, param, pan, tilt));
    }
    std::pair<int32_t, int32_t> pt_pos() {
        int32_t pan = 0, tilt = 0;
        Run("PTZ_LinkGetPTPos", PTZ_LinkGetPTPos(handle_, &pan, &tilt));
        return {pan, tilt};
    }
    int32_t sync_mode() {
        int32_t mode = 0;
        Run("PTZ_LinkGetPanTiltSyncMode", PTZ_LinkGetPanTiltSyncMode(handle_, &mode));
        return mode;
    }
    void set_sync_mode(int32_t mode) { Run("PTZ_LinkSetPanTiltSyncMode", PTZ_LinkSetPanTiltSyncMode(handle_, mode)); }

    // ---- home, presets, automatic motion ----
    void set_user_home(int32_t flag = 0) { Run("PTZ_LinkSetUserHP", PTZ_LinkSetUserHP(handle_, flag)); }
    void move_user_home() { Run("PTZ_LinkMoveUserHP", PTZ_LinkMoveUserHP(handle_)); }
    void set_preset(int32_t preset, int32_t flag = 0) {
        Run("PTZ_LinkSetPresetPos", PTZ_LinkSetPresetPos(handle_, preset, flag));
    }
    void move_preset(int32_t preset) { Run("PTZ_LinkMovePresetPos", PTZ_LinkMovePresetPos(handle_, preset)); }
    int32_t auto_return() {
        int32_t value = 0;
        Run("PTZ_LinkGetAutoReturn", PTZ_LinkGetAutoReturn(handle_, &value));
        return value;
    }
    void set_auto_return(int32_t value) { Run("PTZ_LinkSetAutoReturn", PTZ_LinkSetAutoReturn(handle_, value)); }
    void auto_pan(int32_t mode) { Run("PTZ_LinkExecAutoPan", PTZ_LinkExecAutoPan(handle_, mode, 0, 0)); }

    // ---- infrared and EEPROM ----
    void set_ir_control(int32_t control) { Run("PTZ_LinkSetIrControl", PTZ_LinkSetIrControl(handle_, control)); }
    std::vector<uint8_t> eep_read(int32_t address, int32_t count) {
        std::vector<uint8_t> bytes(count > 0 ? static_cast<size_t>(count) : 0);
        Run("PTZ_LinkEepRead", PTZ_LinkEepRead(handle_, address, count, bytes.empty() ? nullptr : bytes.data()));
        return bytes;
    }
    void eep_write(int32_t address, const std::vector<uint8_t>& bytes) {
        Run("PTZ_LinkEepWrite", PTZ_LinkEepWrite(handle_, address, static_cast<int32_t>(bytes.size()),
                                                 bytes.empty() ? nullptr : bytes.data()));
    }
    void eep_burn() { Run("PTZ_LinkEepBurn", PTZ_LinkEepBurn(handle_)); }

private:
    explicit Link(int32_t handle) : handle_(handle) {}
    void reset() noexcept {
        if (handle_ != 0) PTZ_LinkClose(std::exchange(handle_, 0));
    }
    static void Run(const char* call, int32_t result) { detail::Check(call, result); }

    int32_t handle_ = 0;
};

}  // namespace ptz

#endif  // PTZ_HPP
