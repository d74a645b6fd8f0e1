#include "link/call_frame.h"

#include <cstring>

#include "protocol/transact.h"

namespace ptz {

int32_t BeginCommand(const Command& command) {
    if (LinkState.load() == PTZ_LINK_CLOSED) return PTZ_FAILED;
    // Besides the command's own checks, no frame may outgrow its buffer.
    if (!command.argumentsOk ||
        command.data.size() + command.payload.size() > static_cast<size_t>(kMaxRequestData) ||
        command.expectedLength < kRequestOverhead || command.expectedLength > kMaxExpectedLength)
        return PTZ_BAD_PARAM;

    LockEnter();
    std::memset(RequestBuffer, 0, sizeof RequestBuffer);
    std::memset(ResponseBuffer, 0, sizeof ResponseBuffer);
    uint8_t* data = RequestBuffer + kRequestDataIndex;
    if (!command.data.empty()) std::memcpy(data, command.data.data(), command.data.size());
    if (!command.payload.empty())
        std::memcpy(data + command.data.size(), command.payload.data(), command.payload.size());
    const auto dataLength = static_cast<int32_t>(command.data.size() + command.payload.size());
    const int32_t requestLength = FinishRequest(RequestBuffer, command.code, dataLength);

    if (Transact(requestLength, RequestBuffer, command.expectedLength, ResponseBuffer) != 0 ||
        CheckResponse(command.code, command.expectedLength) != 0) {
        LockLeave();
        return PTZ_FAILED;
    }
    return PTZ_OK;
}

void EndCommand() { LockLeave(); }

}  // namespace ptz

using namespace ptz;

extern "C" PTZ_API int32_t PTZ_CALL PTZ_ExecInitialize(void) {
    return RunCommand({.code = 0x19, .argumentsOk = true, .data = {}, .payload = {}, .expectedLength = 7});
}
