#include "protocol/transact.h"

#include <algorithm>


namespace ptz {

int32_t Transact(Transport& transport, int32_t requestLength, const uint8_t* request,
                 int32_t expectedLength, uint8_t* response, Failure& failure) {
    if (transport.state.load() == PTZ_LINK_LAN)
        return LanTransact(transport, requestLength, request, expectedLength, response, failure);
    transport.received = 0;
    const int32_t result =
        SerialTransact(transport.serial, requestLength, request, expectedLength, response, failure);
    if (result == 0) transport.received = expectedLength + 1;
    return result;
}

namespace {

int32_t LanFailure(Failure& failure, int32_t code) {
    failure.Set(PTZ_ERRKIND_LINK, code);
    return 1;
}

// Throws away whatever is already waiting on the socket: the tail of an
// over-long answer or a late answer to a command that timed out. Never blocks.
void DiscardStaleBytes(Transport& transport) {
    while (platform::SocketRecv(transport.socket, transport.discard, kFrameBufferSize) > 0) {
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

int32_t LanTransact(Transport& transport, int32_t requestLength, const uint8_t* request,
                    int32_t expectedLength, uint8_t* response, Failure& failure) {
    const platform::Socket s = transport.socket;
    const uint32_t limit = PTZ_SERIAL_TIMEOUT_MS;
    transport.received = 0;
    transport.peerClosed = false;
    transport.answerMayFollow = true;  // until a whole answer, a refusal or the peer's close says otherwise
    DiscardStaleBytes(transport);
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
        if (n != platform::kWouldBlock) return LanFailure(failure, PTZ_ERR_OS_CALL);
        const int left = remaining();
        if (left == 0) return LanFailure(failure, PTZ_ERR_TIMEOUT);
        if (platform::SocketWait(s, true, left) < 0) return LanFailure(failure, PTZ_ERR_OS_CALL);
    }

    const int32_t wanted = std::min(expectedLength + 1, kFrameBufferSize);
    int32_t received = 0;
    bool peerClosed = false;
    // Nothing can have arrived the moment the request has left: wait first,
    // then read what is there, and wait again only when it is all taken.
    bool readable = false;
    while (received < wanted && !VerdictIsFixed(request[3], response, received)) {
        if (!readable) {
            const int left = remaining();
            if (left == 0) break;
            const int ready = platform::SocketWait(s, false, left);
            if (ready < 0) return LanFailure(failure, PTZ_ERR_OS_CALL);
            if (ready == 0) break;
            readable = true;
        }
        const int n = platform::SocketRecv(s, response + received, wanted - received);
        if (n > 0) {
            received += n;
            continue;
        }
        if (n == 0) {
            peerClosed = true;
            break;
        }
        if (n != platform::kWouldBlock) return LanFailure(failure, PTZ_ERR_OS_CALL);
        readable = false;
    }
    // A head that said nothing at all is a time-out; a partial answer or a
    // closed connection is judged by the response check on the zero-filled
    // buffer.
    transport.received = received;
    transport.peerClosed = peerClosed;
    // The head's own refusal (its mark, the echo, a status) may be short; a
    // frame that is not the answer to this request leaves the answer owed.
    const bool refusal = received > 4 && response[1] == kResponseMark && response[3] == request[3] && response[4] != 0;
    transport.answerMayFollow = !peerClosed && received < wanted && !refusal;
    if (received == 0 && !peerClosed) return LanFailure(failure, PTZ_ERR_TIMEOUT);
    return 0;
}

}  // namespace ptz
