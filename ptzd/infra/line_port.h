// A TCP port of line-oriented clients, served by one thread: the one
// accept path (capped in all and per source address), lines of at most
// `maxLine` bytes (a client sending longer is closed), an idle time-out,
// and, where asked, one peer the port dials itself and dials again with
// back-off when it goes. What the lines mean is the owner's: it is told
// each line and answers it, and may ask to be called at a time of its
// own (a rate cap's next turn) on the same thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "infra/net.h"

namespace ptzd {

class LinePort {
public:
    using Clock = std::chrono::steady_clock;
    struct Settings {
        std::string what;               // in the log: "head roof: rotctld"
        std::optional<Address> listen;  // clients connect here
        std::optional<Address> dial;    // an IPv4 peer read from (none: not dialled)
        size_t maxClients = 8;
        size_t perSource = SourceCounts::kPerSourceAuto;
        std::chrono::milliseconds idle{300000};  // a connected client silent this long is closed
        size_t maxLine = 256;
    };
    // The answer to a line ("" for none; sent in one write); `quit` closes
    // the client after it. `dialed`: the line came from the dialled peer.
    using OnLine = std::function<std::string(const std::string& line, bool dialed, bool& quit)>;
    // Called on each turn of the loop; returns when it wants the next
    // call (Clock::time_point::max() for none).
    using OnTurn = std::function<Clock::time_point(Clock::time_point now)>;

    LinePort(Settings settings, OnLine onLine, OnTurn onTurn = {});
    ~LinePort();
    LinePort(const LinePort&) = delete;
    LinePort& operator=(const LinePort&) = delete;

    // Takes the listening port (errno set when it cannot), and checks the
    // peer to dial is an IPv4 address.
    bool Bind();
    void Start();
    void BeginStop();
    void Join();

    static constexpr std::chrono::seconds kConnectWait{10};  // for the dialled peer to answer
    static constexpr std::chrono::seconds kLongestBackoff{30};

private:
    struct Client {
        int fd = -1;
        bool dialed = false, connecting = false;
        std::string peer, source, pending;
        Clock::time_point active;
    };
    void Loop();
    void Accept();
    void Read(Client& c);
    void Dial();
    void Redial(Clock::time_point now);
    static void Close(Client& c);

    Settings settings_;
    OnLine onLine_;
    OnTurn onTurn_;
    int listenFd_ = -1, wake_ = -1;
    std::thread thread_;
    std::vector<std::unique_ptr<Client>> clients_;
    SourceCounts sources_;
    Acceptor acceptor_;
    Clock::time_point dialAt_{};                  // the next attempt at the dialled peer
    std::chrono::milliseconds backoff_{1000};
};

}  // namespace ptzd
