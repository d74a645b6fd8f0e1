// A head's VISCA listeners: VISCA over IP on UDP (the 8-byte header, its
// sequence numbers and control messages), plain VISCA on TCP (messages cut
// at FF) and header-less VISCA on UDP (the bare messages, as many cameras
// serve them on UDP 1259), all served by one thread, replies through the
// head's Camera.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "front_end.h"
#include "infra/net.h"
#include "visca/camera.h"

namespace ptzd::visca {

struct ServerLimits {
    size_t maxTcpClients = 8;  // more are closed at once
    size_t maxUdpPeers = 64;   // sequence state kept for this many senders (the oldest forgotten)
    // A TCP client that sends nothing for this long is closed (controllers
    // connect again when they have something to send).
    std::chrono::milliseconds idle{60000};
    size_t perSource = SourceCounts::kPerSourceAuto;  // TCP connections from one address: see SourceCounts::CapFor
};

// Where a head's VISCA is served: over IP on UDP (with its header), plain on
// TCP, bare on UDP; any may be off.
struct ViscaPorts {
    std::optional<Address> udp, tcp, udpRaw;
};

class Server final : public FrontEnd {
public:
    Server(Camera& camera, std::string head, ServerLimits limits = {}, ViscaPorts ports = {});
    ~Server() override;
    std::string Name() const override { return "VISCA " + head_; }
    bool Bind() override {
        return (!ports_.udp || ListenUdp(*ports_.udp)) && (!ports_.tcp || ListenTcp(*ports_.tcp)) &&
               (!ports_.udpRaw || ListenUdpRaw(*ports_.udpRaw));
    }
    void Start() override;
    void BeginStop() override { Stop(); }
    void Join() override {}
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool ListenUdp(const Address& address);
    bool ListenTcp(const Address& address);
    bool ListenUdpRaw(const Address& address);
    // Stops listening and closes every connection; completions still owed are not sent.
    void Stop();

    const std::string& head() const { return head_; }
    const Counters& udp() const { return udp_; }
    const Counters& tcp() const { return tcp_; }
    const Counters& udpRaw() const { return udpRaw_; }
    bool HasUdp() const { return udpFd_ >= 0; }
    bool HasTcp() const { return tcpFd_ >= 0; }
    bool HasUdpRaw() const { return rawFd_ >= 0; }

private:
    // A TCP client; replies may come from other threads, so its descriptor
    // is guarded, and gone once it is closed.
    struct Client {
        std::mutex mutex;
        int fd = -1;
        std::string peer;
        std::string source;  // its address, as counted in sources_
        std::chrono::steady_clock::time_point active;  // its last message (or its connection)
        StreamSplitter splitter;
        void Send(const std::vector<uint8_t>& bytes);
        void Close();
    };
    // The UDP socket as late replies see it: gone (-1) once stopped, so a
    // completion owed after Stop never reaches a descriptor reused since.
    struct UdpSocket {
        std::mutex mutex;
        int fd = -1;
    };
    struct Peer {
        std::optional<uint32_t> last;  // the last sequence number taken
        uint64_t used = 0;             // for forgetting the oldest
    };

    // A bound socket (or -1), logged either way.
    int Listen(const Address& address, int type, const std::string& what);
    void Loop();
    void Datagram();
    void RawDatagram();
    void Accept();
    // Closes the connection at once, counted; logged at most once a second.
    void Read(const std::shared_ptr<Client>& client);
    void SendTo(const std::vector<uint8_t>& bytes, const sockaddr_storage& to, socklen_t length);

    Camera& camera_;
    std::string head_;
    ServerLimits limits_;
    ViscaPorts ports_;
    int udpFd_ = -1, tcpFd_ = -1, rawFd_ = -1, wake_ = -1;
    std::shared_ptr<UdpSocket> udpOut_ = std::make_shared<UdpSocket>(), rawOut_ = std::make_shared<UdpSocket>();
    std::vector<std::shared_ptr<Client>> clients_;  // the loop thread's
    SourceCounts sources_;
    // The loop thread's: out of descriptors, the TCP port rests until then
    // (a pending connection would wake every poll at once).
    Acceptor acceptor_{"head " + head_ + ": VISCA port", kAcceptPause};
    static constexpr std::chrono::milliseconds kAcceptPause{100};
    std::map<std::string, Peer> peers_;             // the loop thread's, by address
    uint64_t uses_ = 0;
    Counters udp_, tcp_, udpRaw_;
    std::thread thread_;
};

// The VISCA counters of every head, in Prometheus text.
void RenderMetrics(const std::vector<const Server*>& servers, std::string& out);

}  // namespace ptzd::visca
