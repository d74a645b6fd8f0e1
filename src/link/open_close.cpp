// Opening a TCP link, closing whichever link is open, and reading the
// last-error record.
#include "link/link.h"
#include "serial/com.h"

namespace ptz {
platform::Socket LanSocket = platform::kInvalidSocket;
}  // namespace ptz

using namespace ptz;

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_LanOpen(const char* address, int32_t port) {
    if (LinkState.load() != PTZ_LINK_CLOSED) return PTZ_FAILED;
    if (address == nullptr) return PTZ_BAD_PARAM;
    // A socket library that never started is not cleaned up: that would tear
    // down the host's own use of it.
    if (platform::SocketStartup() != 0) return PTZ_FAILED;
    const platform::Socket s = platform::SocketCreate();
    if (s == platform::kInvalidSocket) {
        platform::SocketCleanup();
        return PTZ_FAILED;
    }
    if (platform::SocketConnect(s, address, port, PTZ_SERIAL_TIMEOUT_MS) != 0) {
        platform::SocketShutdown(s);
        platform::SocketClose(s);
        platform::SocketCleanup();
        return PTZ_FAILED;
    }
    LanSocket = s;
    LockCreate();
    LinkState.store(PTZ_LINK_LAN);
    return PTZ_OK;
}

PTZ_API int32_t PTZ_CALL PTZ_DevClose(void) {
    const int32_t state = LinkState.load();
    if (state == PTZ_LINK_CLOSED) return PTZ_FAILED;
    if (state == PTZ_LINK_LAN) {
        platform::SocketShutdown(LanSocket);
        platform::SocketClose(LanSocket);
        platform::SocketCleanup();
        LanSocket = platform::kInvalidSocket;
    } else {
        ComClose();  // records any OS failure and always completes
    }
    LinkState.store(PTZ_LINK_CLOSED);
    LockDelete();
    return PTZ_OK;
}

PTZ_API int32_t PTZ_CALL PTZ_GetLastError(int32_t* kind, int32_t* code) {
    if (kind == nullptr || code == nullptr) return PTZ_BAD_PARAM;
    GetLastErrorRecord(kind, code);
    return PTZ_OK;
}

}  // extern "C"
