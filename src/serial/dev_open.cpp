// Opening a serial link, by port number or by device path.
#include <cstring>

#include "link/link.h"
#include "serial/com.h"

using namespace ptz;

namespace {

int32_t FinishSerialOpen(int32_t comResult) {
    if (comResult != 0) return PTZ_FAILED;
    std::memset(SerialTransmitCopy, 0, sizeof SerialTransmitCopy);
    std::memset(SerialReceiveScratch, 0, sizeof SerialReceiveScratch);
    LockCreate();
    LinkState.store(PTZ_LINK_SERIAL);
    return PTZ_OK;
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_DevOpen(int32_t port) {
    if (LinkState.load() != PTZ_LINK_CLOSED) return PTZ_FAILED;
    return FinishSerialOpen(ComOpen(port));
}

PTZ_API int32_t PTZ_CALL PTZ_DevOpenPath(const char* device) {
    if (LinkState.load() != PTZ_LINK_CLOSED) return PTZ_FAILED;
    if (device == nullptr) return PTZ_BAD_PARAM;
    return FinishSerialOpen(ComOpenDevice(device));
}

}  // extern "C"
