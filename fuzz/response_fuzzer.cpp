// Fuzzes what a head may send back: response bytes of any length and content
// arrive on the fake serial link after a request, for every command. Nothing
// outside the caller's outputs may be written, outputs change only when the
// call succeeds, and every result is 0, 1 or 2.
//
// Input: byte 0 picks the command, byte 1 its count/argument, the rest is
// what the head sends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "link/link.h"
#include "platform/fake/fake_serial.h"
#include "ptz.h"

namespace {

constexpr size_t kGuard = 64;
constexpr size_t kOutput = 256;

struct Guarded {
    uint8_t before[kGuard];
    uint8_t output[kOutput];
    uint8_t after[kGuard];
};

using Call = std::function<int32_t(uint8_t arg, uint8_t* out)>;

int32_t* I32(uint8_t* out, int index = 0) { return reinterpret_cast<int32_t*>(out) + index; }

const Call kCalls[] = {
    [](uint8_t, uint8_t*) { return PTZ_ExecInitialize(); },
    [](uint8_t, uint8_t* o) { return PTZ_GetSystemInfo(reinterpret_cast<PTZ_SYSTEM_INFO*>(o)); },
    [](uint8_t, uint8_t* o) { return PTZ_GetSystemSettingInfo(reinterpret_cast<PTZ_SYSTEM_SETTING_INFO*>(o)); },
    [](uint8_t, uint8_t* o) { return PTZ_GetPTZStatus(reinterpret_cast<PTZ_STATUS*>(o)); },
    [](uint8_t a, uint8_t*) { return PTZ_SetIrControl(a & 1); },
    [](uint8_t a, uint8_t*) { return PTZ_ExecMotorHP(a); },
    [](uint8_t a, uint8_t*) { return PTZ_SetMotorPos(a, a, -a); },
    [](uint8_t a, uint8_t* o) { return PTZ_GetMotorPos(a, I32(o)); },
    [](uint8_t a, uint8_t*) { return PTZ_ActMotor(a, a); },
    [](uint8_t a, uint8_t*) { return PTZ_StopMotor(a); },
    [](uint8_t a, uint8_t* o) { return PTZ_GetMotorSpeed(a & 4, I32(o)); },
    [](uint8_t a, uint8_t*) { return PTZ_SetMotorSpeed(a, a); },
    [](uint8_t a, uint8_t*) { return PTZ_SetUserHP(a & 1); },
    [](uint8_t, uint8_t*) { return PTZ_MoveUserHP(); },
    [](uint8_t a, uint8_t*) { return PTZ_SetPresetPos(1 + a % 16, 0); },
    [](uint8_t a, uint8_t*) { return PTZ_MovePresetPos(1 + a % 16); },
    [](uint8_t, uint8_t* o) { return PTZ_GetAutoReturn(I32(o)); },
    [](uint8_t a, uint8_t*) { return PTZ_SetAutoReturn(a); },
    [](uint8_t a, uint8_t*) { return PTZ_ExecAutoPan(a & 2, 0, 0); },
    [](uint8_t a, uint8_t*) { return PTZ_SetPTPos(a, a, a); },
    [](uint8_t, uint8_t* o) { return PTZ_GetPTPos(I32(o), I32(o, 1)); },
    [](uint8_t, uint8_t* o) { return PTZ_GetPanTiltSyncMode(I32(o)); },
    [](uint8_t a, uint8_t*) { return PTZ_SetPanTiltSyncMode(a & 1); },
    [](uint8_t a, uint8_t* o) { return PTZ_EepRead(a, a, o); },  // count 0-255: above 248 rejected
    [](uint8_t a, uint8_t* o) { return PTZ_EepWrite(a, a, o); },
    [](uint8_t, uint8_t*) { return PTZ_EepBurn(); },
};
constexpr size_t kCallCount = sizeof kCalls / sizeof kCalls[0];

// How many bytes of the output area a call may write.
size_t OutputSize(size_t which, uint8_t arg) {
    switch (which) {
        case 1: return sizeof(PTZ_SYSTEM_INFO);
        case 2: return sizeof(PTZ_SYSTEM_SETTING_INFO);
        case 3: return sizeof(PTZ_STATUS);
        case 7: case 10: case 16: case 21: return 4;
        case 20: return 8;
        case 23: return arg;
        default: return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t which = data[0] % kCallCount;
    const uint8_t arg = data[1];
    const std::vector<uint8_t> answer(data + 2, data + size);

    ptz::ResetLibraryState();
    ptz::fake::FakeSerial fake;
    fake.onWrite = [&answer](ptz::fake::FakeSerial& f, const std::vector<uint8_t>&) { f.Deliver(1, answer); };
    ptz::platform::InstallSerialOs(&fake);
    if (PTZ_DevOpen(1) != PTZ_OK) abort();

    static Guarded area;
    std::memset(&area, 0xA5, sizeof area);
    const int32_t result = kCalls[which](arg, area.output);
    if (result != PTZ_OK && result != PTZ_FAILED && result != PTZ_BAD_PARAM) abort();
    for (size_t i = 0; i < kGuard; ++i)
        if (area.before[i] != 0xA5 || area.after[i] != 0xA5) abort();  // wrote outside the caller's memory
    const size_t allowed = result == PTZ_OK ? OutputSize(which, arg) : 0;
    for (size_t i = allowed; i < kOutput; ++i)
        if (area.output[i] != 0xA5) abort();  // wrote beyond its outputs, or on failure

    PTZ_DevClose();
    ptz::platform::InstallSerialOs(nullptr);
    if (fake.openPorts != 0 || fake.openEvents != 0) abort();
    return 0;
}
