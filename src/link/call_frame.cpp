#include "link/call_frame.h"
#include "protocol/command_table.h"

#include <cstring>

#include "protocol/transact.h"

namespace ptz {

int32_t BeginCommand(Link& link, const Command& command, Failure& failure) {
    if (link.transport.state.load() == PTZ_LINK_CLOSED) return PTZ_FAILED;
    // Besides the command's own checks, no frame may outgrow its buffer.
    if (!command.argumentsOk ||
        command.data.size() + command.payload.size() > static_cast<size_t>(kMaxRequestData) ||
        command.expectedLength < kRequestOverhead || command.expectedLength > kMaxExpectedLength)
        return PTZ_BAD_PARAM;

    platform::LockAcquire(link.lock);
    std::memset(link.request, 0, sizeof link.request);
    std::memset(link.response, 0, sizeof link.response);
    uint8_t* data = link.request + kRequestDataIndex;
    if (!command.data.empty()) std::memcpy(data, command.data.data(), command.data.size());
    if (!command.payload.empty())
        std::memcpy(data + command.data.size(), command.payload.data(), command.payload.size());
    const auto dataLength = static_cast<int32_t>(command.data.size() + command.payload.size());
    const int32_t requestLength = FinishRequest(link.request, command.code, dataLength);

    if (Transact(link.transport, requestLength, link.request, command.expectedLength, link.response, failure) != 0 ||
        CheckResponse(link.response, command.code, command.expectedLength, failure) != 0) {
        platform::LockRelease(link.lock);
        return PTZ_FAILED;
    }
    return PTZ_OK;
}

void EndCommand(Link& link) { platform::LockRelease(link.lock); }

void RecordFailure(Door door, const Failure& failure) {
    if (door.classic) SetLastError(failure.kind, failure.code);
    else SetThreadError(failure.kind, failure.code);
}

}  // namespace ptz

using namespace ptz;

namespace {
int32_t ExecInitialize(Door door) {
    return RunCommand(door, {.code = 0x19, .argumentsOk = true, .data = {}, .payload = {},
                             .expectedLength = FixedAnswerLength<0x19>()});
}
}  // namespace

extern "C" {
PTZ_API int32_t PTZ_CALL PTZ_ExecInitialize(void) { return ExecInitialize(kClassic); }
PTZ_API int32_t PTZ_CALL PTZ_LinkExecInitialize(int32_t link) { return ExecInitialize(ByHandle(link)); }
}  // extern "C"
