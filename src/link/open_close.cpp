// Opening and closing links and reading the last-error records: the classic
// exports on the process's one link, and the handle exports.
#include <cerrno>
#include <new>

#include "link/handles.h"
#include "link/link.h"

using namespace ptz;

extern "C" {

// ---- the classic link -------------------------------------------------------

PTZ_API int32_t PTZ_CALL PTZ_LanOpen(const char* address, int32_t port) {
    if (LinkState.load() != PTZ_LINK_CLOSED) return PTZ_FAILED;
    if (address == nullptr) return PTZ_BAD_PARAM;
    Failure failure;  // a failed TCP open leaves the classic record as it was
    return OpenLan(ClassicLink, address, port, failure);
}

PTZ_API int32_t PTZ_CALL PTZ_DevOpen(int32_t port) {
    if (LinkState.load() != PTZ_LINK_CLOSED) return PTZ_FAILED;
    Failure failure;
    const int32_t result = OpenSerial(ClassicLink, port, failure);
    if (failure.failed) SetLastError(failure.kind, failure.code);
    return result;
}

PTZ_API int32_t PTZ_CALL PTZ_DevOpenPath(const char* device) {
    if (LinkState.load() != PTZ_LINK_CLOSED) return PTZ_FAILED;
    if (device == nullptr) return PTZ_BAD_PARAM;
    Failure failure;
    const int32_t result = OpenSerialPath(ClassicLink, device, failure);
    if (failure.failed) SetLastError(failure.kind, failure.code);
    return result;
}

PTZ_API int32_t PTZ_CALL PTZ_DevClose(void) {
    if (LinkState.load() == PTZ_LINK_CLOSED) return PTZ_FAILED;
    Failure failure;
    CloseLink(ClassicLink, failure);
    if (failure.failed) SetLastError(failure.kind, failure.code);
    return PTZ_OK;
}

PTZ_API int32_t PTZ_CALL PTZ_GetLastError(int32_t* kind, int32_t* code) {
    if (kind == nullptr || code == nullptr) return PTZ_BAD_PARAM;
    GetLastErrorRecord(kind, code);
    return PTZ_OK;
}

}  // extern "C"

// ---- links by handle ------------------------------------------------------------

namespace {

// Opens a new link with `open` and hands out its handle. A failed open
// leaves *handle untouched and says why in the thread's record.
template <class Open>
int32_t OpenHandle(int32_t* handle, Open open) {
    Link* link = new (std::nothrow) Link;
    if (link == nullptr) {
        SetThreadError(PTZ_ERRKIND_OS, ENOMEM);
        return PTZ_FAILED;
    }
    Failure failure;
    if (open(*link, failure) != PTZ_OK) {
        delete link;
        if (failure.failed) SetThreadError(failure.kind, failure.code);
        return PTZ_FAILED;
    }
    const int32_t opened = AddLink(link);
    if (opened == 0) {  // every handle in use
        Failure ignored;
        CloseLink(*link, ignored);
        delete link;
        SetThreadError(PTZ_ERRKIND_LINK, PTZ_ERR_NO_HANDLE);
        return PTZ_FAILED;
    }
    *handle = opened;
    return PTZ_OK;
}

}  // namespace

extern "C" {

PTZ_API int32_t PTZ_CALL PTZ_LinkOpenLan(const char* host, int32_t port, int32_t* link) {
    if (host == nullptr || link == nullptr || port < 1 || port > 65535) return PTZ_BAD_PARAM;
    return OpenHandle(link, [&](Link& l, Failure& f) { return OpenLanHost(l, host, port, f); });
}

PTZ_API int32_t PTZ_CALL PTZ_LinkOpenCom(int32_t port, int32_t* link) {
    if (link == nullptr) return PTZ_BAD_PARAM;
    return OpenHandle(link, [&](Link& l, Failure& f) { return OpenSerial(l, port, f); });
}

PTZ_API int32_t PTZ_CALL PTZ_LinkOpenPath(const char* device, int32_t* link) {
    if (device == nullptr || link == nullptr) return PTZ_BAD_PARAM;
    return OpenHandle(link, [&](Link& l, Failure& f) { return OpenSerialPath(l, device, f); });
}

PTZ_API int32_t PTZ_CALL PTZ_LinkClose(int32_t link) {
    Link* removed = RemoveLink(link);  // waits for the commands running on it
    if (removed == nullptr) return PTZ_BAD_PARAM;
    Failure failure;
    CloseLink(*removed, failure);
    delete removed;
    if (failure.failed) SetThreadError(failure.kind, failure.code);
    return PTZ_OK;
}

PTZ_API int32_t PTZ_CALL PTZ_LinkLastError(int32_t* kind, int32_t* code) {
    if (kind == nullptr || code == nullptr) return PTZ_BAD_PARAM;
    GetThreadError(kind, code);
    return PTZ_OK;
}

}  // extern "C"
