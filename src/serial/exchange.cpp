// The serial exchange: purge, write the request, read the acknowledgement
// byte (STX: the response follows; NAK: send again), then read the rest of
// the response, each step limited to 5000 ms.
#include <cstring>

#include "ptz.h"
#include "serial/com.h"

namespace ptz {

namespace {

// The acknowledgement bytes: the response frame's own STX, or NAK.
constexpr uint8_t kAckStx = 0x02;
constexpr uint8_t kAckNak = 0x15;

int32_t SendRequest(SerialPort& port, int32_t requestLength, Failure& failure) {
    if (!platform::Serial().Purge(port.handle, platform::kPurgeAll)) {
        RecordOsError(failure);
        return PTZ_ERR_OS_CALL;
    }
    int32_t result = ComWrite(port, port.transmitCopy, requestLength, PTZ_SERIAL_TIMEOUT_MS, failure);
    if (result != 0) return result;
    std::memset(port.receiveScratch, 0, sizeof port.receiveScratch);
    result = ComRead(port, port.receiveScratch, 1, PTZ_SERIAL_TIMEOUT_MS, failure);
    if (result != 0) return result;
    if (port.receiveScratch[0] == kAckStx) return 0;
    if (port.receiveScratch[0] == kAckNak) return PTZ_ERR_NAK;
    return PTZ_ERR_BAD_ACK;
}

int32_t ReceiveResponse(SerialPort& port, int32_t expectedLength, uint8_t* response, Failure& failure) {
    std::memset(port.receiveScratch, 0, sizeof port.receiveScratch);
    const int32_t result = ComRead(port, port.receiveScratch, expectedLength, PTZ_SERIAL_TIMEOUT_MS, failure);
    if (result != 0) return result;
    response[0] = kAckStx;
    std::memcpy(response + 1, port.receiveScratch, static_cast<size_t>(expectedLength));
    return 0;
}

int32_t ExchangeFailure(Failure& failure, int32_t code) {
    failure.Set(PTZ_ERRKIND_LINK, code);
    return 1;
}

}  // namespace

int32_t SerialTransact(SerialPort& port, int32_t requestLength, const uint8_t* request,
                       int32_t expectedLength, uint8_t* response, Failure& failure) {
    std::memset(port.transmitCopy, 0, sizeof port.transmitCopy);
    std::memcpy(port.transmitCopy, request, static_cast<size_t>(requestLength));

    for (int attempt = 1;; ++attempt) {
        const int32_t result = SendRequest(port, requestLength, failure);
        if (result == 0) break;
        if (result != PTZ_ERR_NAK || attempt == PTZ_SERIAL_ATTEMPTS) return ExchangeFailure(failure, result);
    }
    for (int read = 1;; ++read) {
        const int32_t result = ReceiveResponse(port, expectedLength, response, failure);
        if (result == 0) return 0;
        if (result != PTZ_ERR_TIMEOUT || read == PTZ_SERIAL_ATTEMPTS) return ExchangeFailure(failure, result);
    }
}

}  // namespace ptz
