#include "link/link.h"

#include <cstring>

#include "link/handles.h"

namespace ptz {

Link ClassicLink;

namespace {
// Kind in the high half, code in the low half: one atomic word, so a reader
// on another thread never sees the kind of one failure with the code of another.
std::atomic<uint64_t> lastError{0};

struct ThreadRecord {
    int32_t kind = 0;
    int32_t code = 0;
};
thread_local ThreadRecord threadError;
}  // namespace

void SetLastError(int32_t kind, int32_t code) {
    lastError.store((uint64_t{static_cast<uint32_t>(kind)} << 32) | static_cast<uint32_t>(code),
                    std::memory_order_relaxed);
}

void GetLastErrorRecord(int32_t* kind, int32_t* code) {
    const uint64_t record = lastError.load(std::memory_order_relaxed);
    *kind = static_cast<int32_t>(static_cast<uint32_t>(record >> 32));
    *code = static_cast<int32_t>(static_cast<uint32_t>(record));
}

void SetThreadError(int32_t kind, int32_t code) { threadError = {kind, code}; }

void GetThreadError(int32_t* kind, int32_t* code) {
    *kind = threadError.kind;
    *code = threadError.code;
}

namespace {

// What every open does once its transport is up.
int32_t FinishOpen(Link& link, int32_t state) {
    std::memset(link.transport.serial.transmitCopy, 0, sizeof link.transport.serial.transmitCopy);
    std::memset(link.transport.serial.receiveScratch, 0, sizeof link.transport.serial.receiveScratch);
    platform::LockInit(link.lock);
    link.transport.state.store(state);
    return PTZ_OK;
}

// Connects a new socket to one address within `timeoutMs`: the socket, or
// kInvalidSocket with the reason in `failure` (nothing left open).
platform::Socket Connect(const platform::Address* address, const char* dotted, int32_t port, int timeoutMs,
                         Failure& failure) {
    const platform::Socket s = address ? platform::SocketCreateFor(*address) : platform::SocketCreate();
    if (s == platform::kInvalidSocket) {
        failure.Set(PTZ_ERRKIND_OS, platform::SocketLastError());
        return s;
    }
    const int connected = address ? platform::SocketConnectTo(s, *address, timeoutMs)
                                   : platform::SocketConnect(s, dotted, port, timeoutMs);
    if (connected == 0) return s;
    if (connected == platform::kTimedOut) failure.Set(PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT);
    else failure.Set(PTZ_ERRKIND_OS, platform::SocketLastError());
    platform::SocketShutdown(s);
    platform::SocketClose(s);
    return platform::kInvalidSocket;
}

int32_t FinishLan(Link& link, platform::Socket s) {
    if (s == platform::kInvalidSocket) {
        platform::SocketCleanup();
        return PTZ_FAILED;
    }
    link.transport.socket = s;
    return FinishOpen(link, PTZ_LINK_LAN);
}

}  // namespace

int32_t OpenLan(Link& link, const char* address, int32_t port, Failure& failure) {
    // A socket library that never started is not cleaned up: that would tear
    // down the host's own use of it.
    if (platform::SocketStartup() != 0) {
        failure.Set(PTZ_ERRKIND_OS, platform::SocketLastError());
        return PTZ_FAILED;
    }
    return FinishLan(link, Connect(nullptr, address, port, PTZ_SERIAL_TIMEOUT_MS, failure));
}

int32_t OpenLanHost(Link& link, const char* host, int32_t port, Failure& failure) {
    if (platform::SocketStartup() != 0) {
        failure.Set(PTZ_ERRKIND_OS, platform::SocketLastError());
        return PTZ_FAILED;
    }
    platform::Address addresses[platform::kMaxAddresses];
    const int count = platform::SocketResolve(host, port, addresses, platform::kMaxAddresses);
    if (count <= 0) failure.Set(PTZ_ERRKIND_LINK, PTZ_ERR_HOST);
    // Each address in turn, all of them within one connect time limit; the
    // last address's failure is the one recorded.
    const uint32_t start = platform::MonotonicMs();
    platform::Socket s = platform::kInvalidSocket;
    for (int i = 0; i < count && s == platform::kInvalidSocket; ++i) {
        const uint32_t elapsed = platform::MonotonicMs() - start;
        if (elapsed >= PTZ_SERIAL_TIMEOUT_MS) {
            failure.Set(PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT);
            break;
        }
        s = Connect(&addresses[i], host, port, static_cast<int>(PTZ_SERIAL_TIMEOUT_MS - elapsed), failure);
    }
    return FinishLan(link, s);
}

int32_t OpenSerial(Link& link, int32_t port, Failure& failure) {
    if (ComOpen(link.transport.serial, port, failure) != 0) return PTZ_FAILED;
    return FinishOpen(link, PTZ_LINK_SERIAL);
}

int32_t OpenSerialPath(Link& link, const char* device, Failure& failure) {
    if (ComOpenDevice(link.transport.serial, device, failure) != 0) return PTZ_FAILED;
    return FinishOpen(link, PTZ_LINK_SERIAL);
}

void CloseLink(Link& link, Failure& failure) {
    Transport& t = link.transport;
    if (t.state.load() == PTZ_LINK_LAN) {
        platform::SocketShutdown(t.socket);
        platform::SocketClose(t.socket);
        platform::SocketCleanup();
        t.socket = platform::kInvalidSocket;
    } else {
        ComClose(t.serial, failure);  // records any OS failure and always completes
    }
    t.state.store(PTZ_LINK_CLOSED);
    platform::LockDestroy(link.lock);
}

void ResetLibraryState() {
    CloseAllLinks();
    ClassicLink.transport.state.store(PTZ_LINK_CLOSED);
    ClassicLink.transport.serial.handle = platform::kInvalidPort;
    ClassicLink.transport.socket = platform::kInvalidSocket;
    SetLastError(0, 0);
    SetThreadError(0, 0);
}

}  // namespace ptz
