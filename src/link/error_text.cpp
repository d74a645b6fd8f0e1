// English explanations of the last-error record.
#include <cstdio>
#include <cstring>

#include "platform/serial_os.h"
#include "ptz.h"

namespace {

const char* CodeText(int32_t kind, int32_t code) {
    if (kind == PTZ_ERRKIND_RESPONSE) {
        switch (code) {
            case PTZ_ERR_RESP_MARK:
                return "the response is not a response frame (byte 1 is not '@'); the head sent "
                       "nothing usable or closed the connection";
            case PTZ_ERR_RESP_COMMAND:
                return "the response answers a different command than the one sent";
            case PTZ_ERR_RESP_STATUS:
                return "the head refused the command (non-zero status byte)";
            case PTZ_ERR_RESP_BCC:
                return "the response's block check byte is wrong (corrupted or incomplete frame)";
            default: break;
        }
    } else if (kind == PTZ_ERRKIND_LINK) {
        switch (code) {
            case PTZ_ERR_OS_CALL:
                return "an operating-system call on the port or socket failed during the exchange";
            case PTZ_ERR_TIMEOUT:
                return "the head did not answer in time (5000 ms per step)";
            case PTZ_ERR_NAK:
                return "the head refused the request with NAK on every attempt";
            case PTZ_ERR_BAD_ACK:
                return "the head's acknowledgement byte was neither STX nor NAK";
            case PTZ_ERR_HOST:
                return "the host name or address cannot be resolved";
            case PTZ_ERR_NO_HANDLE:
                return "every link handle is in use; close a link first";
            default: break;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" PTZ_API int32_t PTZ_CALL PTZ_GetErrorText(int32_t kind, int32_t code, char* buffer,
                                                     int32_t size) {
    if (buffer == nullptr || size < 1) return PTZ_BAD_PARAM;
    char text[320];
    if (kind == 0 && code == 0) {
        std::snprintf(text, sizeof text, "no failure recorded");
    } else if (const char* known = CodeText(kind, code)) {
        std::snprintf(text, sizeof text, "%s", known);
    } else if (kind == PTZ_ERRKIND_OS) {
        char system[256] = "";
        ptz::platform::SystemErrorText(code, system, sizeof system);
        std::snprintf(text, sizeof text, "operating-system error %d opening or closing the link: %s",
                      static_cast<int>(code), system);
    } else {
        std::snprintf(text, sizeof text, "unknown error: kind %d, code %d", static_cast<int>(kind),
                      static_cast<int>(code));
    }
    std::snprintf(buffer, static_cast<size_t>(size), "%s", text);
    return PTZ_OK;
}
