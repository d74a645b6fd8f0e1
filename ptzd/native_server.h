// The head's own protocol on TCP, one listening port per head: whole request
// frames from any number of clients go to the head's worker in arrival
// order, and each client gets its own answers back, byte for byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "head_worker.h"

namespace ptzd {

class NativeServer {
public:
    NativeServer() = default;
    ~NativeServer();
    NativeServer(const NativeServer&) = delete;
    NativeServer& operator=(const NativeServer&) = delete;

    // Listens for `head` on `address`; false (with the reason logged) when it cannot.
    bool Listen(HeadWorker& head, const Address& address);
    void Start();
    void Stop();

    static constexpr int kMaxQueuedPerClient = 16;       // requests awaiting an answer
    static constexpr size_t kMaxUnsentPerClient = 65536;  // answers the client has not read

private:
    struct Client;
    struct Listener {
        int fd;
        HeadWorker* head;
    };
    void Loop();
    void Accept(const Listener& listener);
    void Read(const std::shared_ptr<Client>& client);
    // Worker side: hands one answer to its client; false when some of it
    // waits for the I/O thread.
    bool Answer(const std::shared_ptr<Client>& client, const uint8_t* bytes, size_t count);
    void Flush(const std::shared_ptr<Client>& client);
    bool Unsent(const std::shared_ptr<Client>& client);
    void Drop(const std::shared_ptr<Client>& client, const char* why);

    std::vector<Listener> listeners_;
    std::vector<std::shared_ptr<Client>> clients_;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

}  // namespace ptzd
