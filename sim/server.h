// Transports of the simulated head: a TCP server on loopback and a
// pseudo-terminal that speaks the serial protocol. Each runs one thread and
// serves one link after another until stopped.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "head.h"

namespace ptzsim {

class Transport {
public:
    explicit Transport(Head& head);
    virtual ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Stops serving and joins the thread. Safe to call twice.
    void Stop();
    // Bytes per second for paced output (0: as fast as the OS takes them).
    void SetPace(int baud) { baud_ = baud; }

protected:
    // Serves one connection or line until it closes or Stop(); returns false
    // when stopped.
    bool Serve(int fd, bool serial, bool socket);
    void StartThread(std::function<void()> loop);
    // Sleeps up to ms; false when stopped meanwhile.
    bool Pause(int ms);
    bool SendAll(int fd, const std::vector<uint8_t>& bytes, bool socket);
    // Listens on host:port (port 0 picks a free one) and runs `loop` on the
    // thread. The bound port, or -1.
    int StartListening(const std::string& host, int port, std::function<void()> loop);
    // Waits for a connection on the listening socket; -1 when stopped.
    int Accept();

    // Called from Serve when `watchFd_` (if any) becomes readable.
    virtual void OnWatch() {}

    Head& head_;
    int watchFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<int> baud_{0};
    int listenFd_ = -1;
};

class TcpServer final : public Transport {
public:
    using Transport::Transport;
    ~TcpServer() override;
    // Listens on host:port (port 0 picks a free one). The bound port, or -1.
    int Start(const std::string& host = "127.0.0.1", int port = 0);
    // Closes the connection being served (the head "goes away").
    void DropConnection();

private:
    void Loop();
    std::atomic<int> connectionFd_{-1};
};

// The control channel (see control.h) on its own TCP port.
class ControlServer final : public Transport {
public:
    ControlServer(Head& head, TcpServer* link) : Transport(head), link_(link) {}
    ~ControlServer() override;
    int Start(const std::string& host = "127.0.0.1", int port = 0);

private:
    void Loop();
    TcpServer* link_;
};

class PtyServer final : public Transport {
public:
    using Transport::Transport;
    ~PtyServer() override;
    // Creates the pseudo-terminal; returns the path of its terminal side, or "".
    std::string Start();
    // Writes bytes into the line at once, outside any exchange.
    void Inject(const std::vector<uint8_t>& bytes);

private:
    void Loop();
    // Counts the hosts' opens and closes of the terminal side; when the last
    // one has gone, clears exclusive mode, which a host that died without
    // closing its link would otherwise leave set for as long as we live.
    void OnWatch() override;
    int master_ = -1;
    int slaveKeeper_ = -1;
    int hostsOpen_ = 0;
};

}  // namespace ptzsim
