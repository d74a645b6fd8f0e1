// The serial exchange: purge, write the request, read the acknowledgement
// byte (STX: the response follows; NAK: send again), then read the rest of
// the response, each step limited to 5000 ms.
#include <cstring>

#include "link/link.h"
#include "protocol/frame.h"
#include "protocol/transact.h"
#include "serial/com.h"

namespace ptz {

namespace {

int32_t SendRequest(int32_t requestLength) {
    if (!platform::Serial().Purge(ComHandle, platform::kPurgeAll)) {
        RecordOsError();
        return PTZ_ERR_OS_CALL;
    }
    int32_t result = ComWrite(SerialTransmitCopy, requestLength, PTZ_SERIAL_TIMEOUT_MS);
    if (result != 0) return result;
    std::memset(SerialReceiveScratch, 0, sizeof SerialReceiveScratch);
    result = ComRead(SerialReceiveScratch, 1, PTZ_SERIAL_TIMEOUT_MS);
    if (result != 0) return result;
    if (SerialReceiveScratch[0] == kStx) return 0;
    if (SerialReceiveScratch[0] == kNak) return PTZ_ERR_NAK;
    return PTZ_ERR_BAD_ACK;
}

int32_t ReceiveResponse(int32_t expectedLength, uint8_t* response) {
    std::memset(SerialReceiveScratch, 0, sizeof SerialReceiveScratch);
    const int32_t result = ComRead(SerialReceiveScratch, expectedLength, PTZ_SERIAL_TIMEOUT_MS);
    if (result != 0) return result;
    response[0] = kStx;
    std::memcpy(response + 1, SerialReceiveScratch, static_cast<size_t>(expectedLength));
    return 0;
}

int32_t ExchangeFailure(int32_t code) {
    SetLastError(PTZ_ERRKIND_LINK, code);
    return 1;
}

}  // namespace

int32_t SerialTransact(int32_t requestLength, const uint8_t* request, int32_t expectedLength,
                       uint8_t* response) {
    std::memset(SerialTransmitCopy, 0, sizeof SerialTransmitCopy);
    std::memcpy(SerialTransmitCopy, request, static_cast<size_t>(requestLength));

    for (int attempt = 1;; ++attempt) {
        const int32_t result = SendRequest(requestLength);
        if (result == 0) break;
        if (result != PTZ_ERR_NAK || attempt == PTZ_SERIAL_ATTEMPTS) return ExchangeFailure(result);
    }
    for (int read = 1;; ++read) {
        const int32_t result = ReceiveResponse(expectedLength, response);
        if (result == 0) return 0;
        if (result != PTZ_ERR_TIMEOUT || read == PTZ_SERIAL_ATTEMPTS) return ExchangeFailure(result);
    }
}

}  // namespace ptz
