#include "link/forward.h"

#include <cstring>

#include "link/handles.h"

namespace ptz {

int32_t ForwardFrame(int32_t handle, const uint8_t* request, int32_t requestLength, int32_t expectedLength,
                     uint8_t* response, int32_t* responseLength, Failure& failure) {
    HeldLink held(handle);
    Link* link = held.get();
    if (link == nullptr || requestLength < kRequestOverhead || requestLength > kBufferSize ||
        expectedLength < kRequestOverhead || expectedLength > kMaxExpectedLength)
        return PTZ_BAD_PARAM;
    platform::LockAcquire(link->lock);
    std::memset(link->request, 0, sizeof link->request);
    std::memset(link->response, 0, sizeof link->response);
    std::memcpy(link->request, request, static_cast<size_t>(requestLength));
    int32_t result = PTZ_OK;
    if (Transact(link->transport, requestLength, link->request, expectedLength, link->response, failure) != 0) {
        result = PTZ_FAILED;
    } else if (link->transport.received == 0) {
        failure.Set(PTZ_ERRKIND_LINK, PTZ_ERR_OS_CALL);  // the peer closed without a byte
        result = PTZ_FAILED;
    } else {
        *responseLength = link->transport.received;
        std::memcpy(response, link->response, static_cast<size_t>(link->transport.received));
    }
    platform::LockRelease(link->lock);
    return result;
}

bool ConnectionLost(int32_t handle, int32_t kind, int32_t code) {
    if (kind == PTZ_ERRKIND_LINK && code == PTZ_ERR_OS_CALL) return true;
    HeldLink held(handle);
    return held.get() != nullptr && held.get()->transport.peerClosed;
}

bool AnswerMayFollow(int32_t handle) {
    HeldLink held(handle);
    const Link* link = held.get();
    return link != nullptr && link->transport.state.load() == PTZ_LINK_LAN && link->transport.answerMayFollow;
}

void InterruptExchange(int32_t handle) {
    HeldLink held(handle);
    Link* link = held.get();
    if (link != nullptr && link->transport.state.load() == PTZ_LINK_LAN) platform::SocketShutdown(link->transport.socket);
}

}  // namespace ptz
