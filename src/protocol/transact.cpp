#include "protocol/transact.h"

#include <algorithm>

#include "link/link.h"
#include "protocol/frame.h"

namespace ptz {

int32_t Transact(int32_t requestLength, const uint8_t* request, int32_t expectedLength,
                 uint8_t* response) {
    if (LinkState.load() == PTZ_LINK_LAN)
        return LanTransact(requestLength, request, expectedLength, response);
    return SerialTransact(requestLength, request, expectedLength, response);
}

namespace {

int32_t LanFailure(int32_t code) {
    SetLastError(PTZ_ERRKIND_LINK, code);
    return 1;
}

// Throws away whatever is already waiting on the socket: the tail of an
// over-long answer or a late answer to a command that timed out. Never blocks.
void DiscardStaleBytes(platform::Socket s) {
    static uint8_t scratch[kBufferSize];  // used only under the library lock
    while (platform::SocketRecv(s, scratch, kBufferSize) > 0) {
    }
}

// True once the bytes received so far already fail the response check: a
// wrong mark (byte 1), a wrong echo (byte 3) or a refusal (byte 4). A head
// that refuses with a short frame is then judged at once instead of after the
// whole time limit; whatever else it sends is discarded before the next send.
bool VerdictIsFixed(uint8_t code, const uint8_t* response, int32_t received) {
    return (received > 1 && response[1] != kResponseMark) || (received > 3 && response[3] != code) ||
           (received > 4 && response[4] != 0);
}

}  // namespace

int32_t LanTransact(int32_t requestLength, const uint8_t* request, int32_t expectedLength,
                    uint8_t* response) {
    const platform::Socket s = LanSocket;
    const uint32_t limit = PTZ_SERIAL_TIMEOUT_MS;
    DiscardStaleBytes(s);
    const uint32_t start = platform::MonotonicMs();
    auto remaining = [&]() -> int {
        const uint32_t elapsed = platform::MonotonicMs() - start;
        return elapsed >= limit ? 0 : static_cast<int>(limit - elapsed);
    };

    for (int32_t sent = 0; sent < requestLength;) {
        const int n = platform::SocketSend(s, request + sent, requestLength - sent);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n != platform::kWouldBlock) return LanFailure(PTZ_ERR_OS_CALL);
        const int left = remaining();
        if (left == 0) return LanFailure(PTZ_ERR_TIMEOUT);
        if (platform::SocketWait(s, true, left) < 0) return LanFailure(PTZ_ERR_OS_CALL);
    }

    const int32_t wanted = std::min(expectedLength + 1, kBufferSize);
    int32_t received = 0;
    bool peerClosed = false;
    while (received < wanted && !VerdictIsFixed(request[3], response, received)) {
        const int n = platform::SocketRecv(s, response + received, wanted - received);
        if (n > 0) {
            received += n;
            continue;
        }
        if (n == 0) {
            peerClosed = true;
            break;
        }
        if (n != platform::kWouldBlock) return LanFailure(PTZ_ERR_OS_CALL);
        const int left = remaining();
        if (left == 0) break;
        if (platform::SocketWait(s, false, left) < 0) return LanFailure(PTZ_ERR_OS_CALL);
    }
    // A head that said nothing at all is a time-out; a partial answer or a
    // closed connection is judged by the response check on the zero-filled
    // buffer.
    if (received == 0 && !peerClosed) return LanFailure(PTZ_ERR_TIMEOUT);
    return 0;
}

}  // namespace ptz
