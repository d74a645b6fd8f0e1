#include "protocol/frame.h"

#include "ptz.h"

namespace ptz {

uint8_t CalcBcc(int32_t count, const uint8_t* bytes) {
    uint8_t bcc = 0;
    for (int32_t i = 0; i < count; ++i) bcc ^= bytes[i];
    return bcc;
}

int32_t FinishRequest(uint8_t* frame, uint8_t command, int32_t dataLength) {
    frame[0] = kStx;
    frame[1] = kRequestMark;
    frame[2] = 0x00;
    frame[3] = command;
    frame[4] = Low8(dataLength);
    frame[kRequestDataIndex + dataLength] = kEtx;
    const uint8_t sndBcc = CalcBcc(dataLength + 6, frame);
    frame[dataLength + 6] = sndBcc;
    return dataLength + kRequestOverhead;
}

int32_t CheckResponse(const uint8_t* r, int32_t command, int32_t expectedLength, Failure& failure) {
    int32_t code = 0;
    if (r[1] != kResponseMark) {
        code = PTZ_ERR_RESP_MARK;
    } else if (r[3] != Low8(command)) {
        code = PTZ_ERR_RESP_COMMAND;
    } else if (r[4] != 0) {
        code = PTZ_ERR_RESP_STATUS;
    } else {
        const uint8_t rcvBcc = CalcBcc(expectedLength, r);
        if (rcvBcc != r[expectedLength]) code = PTZ_ERR_RESP_BCC;
    }
    if (code == 0) return 0;
    failure.Set(PTZ_ERRKIND_RESPONSE, code);
    return 1;
}

}  // namespace ptz
