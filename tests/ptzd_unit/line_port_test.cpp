// The line port the rotator and feed front ends share: lines answered in
// order, quit and over-long lines closing a client, the cap on clients,
// and the peer it dials, read and dialled again when it goes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>
#include <cctype>
#include <mutex>
#include <string>
#include <vector>

#include "infra/line_port.h"

namespace {

using namespace std::chrono_literals;

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

int PortOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

// What arrives until `want` bytes came, or the peer closed ("" + closed).
std::string Receive(int fd, size_t want, bool* closed = nullptr) {
    std::string got;
    char chunk[256];
    while (got.size() < want) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

bool ClosedByPeer(int fd) {
    bool closed = false;
    Receive(fd, 1, &closed);
    return closed;
}

struct Echo {
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> lines;  // the line, from the dialled peer
    ptzd::LinePort::OnLine hook() {
        return [this](const std::string& line, bool dialed, bool& quit) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line, dialed);
            if (line == "q") quit = true;
            std::string up = line;
            for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return up.empty() ? std::string() : up + "\n";
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
};

bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

}  // namespace

TEST(LinePort, LinesAnswersQuitOverlongAndTheCap) {
    // A listener of our own, to learn a free port for the line port.
    const int finder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(finder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const int free = PortOf(finder);
    ::close(finder);

    Echo echo;
    ptzd::LinePort port({.what = "test", .listen = ptzd::Address{"127.0.0.1", free}, .dial = std::nullopt, .maxClients = 2,
                         .perSource = ptzd::SourceCounts::kPerSourceOff, .idle = 300000ms, .maxLine = 16},
                        echo.hook());
    ASSERT_TRUE(port.Bind());
    port.Start();
    const int one = Connect(free);
    const std::string lines = "ab\r\ncd\n";
    ASSERT_EQ(::send(one, lines.data(), lines.size(), 0), static_cast<ssize_t>(lines.size()));
    EXPECT_EQ(Receive(one, 6), "AB\nCD\n");
    // The cap: a second client is served, a third closed at once.
    const int two = Connect(free);
    ASSERT_EQ(::send(two, "x\n", 2, 0), 2);
    EXPECT_EQ(Receive(two, 2), "X\n");
    const int three = Connect(free);
    EXPECT_TRUE(ClosedByPeer(three));
    // A line over the bound closes its client; "q" is a client's own goodbye.
    const std::string longLine(40, 'z');
    ASSERT_EQ(::send(two, longLine.data(), longLine.size(), 0), static_cast<ssize_t>(longLine.size()));
    EXPECT_TRUE(ClosedByPeer(two));
    ASSERT_EQ(::send(one, "q\n", 2, 0), 2);
    EXPECT_EQ(Receive(one, 2), "Q\n");
    EXPECT_TRUE(ClosedByPeer(one));
    // Places freed: a new client is served again.
    EXPECT_TRUE(Eventually([&] {
        const int again = Connect(free);
        const bool served = ::send(again, "y\n", 2, MSG_NOSIGNAL) == 2 && Receive(again, 2) == "Y\n";
        ::close(again);
        return served;
    }));
    for (int fd : {one, two, three}) ::close(fd);
    port.BeginStop();
    port.Join();
}

TEST(LinePort, TheDialledPeerIsReadAndDialledAgainWhenItGoes) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    timeval limit{20, 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    Echo echo;
    ptzd::LinePort port({.what = "test", .listen = std::nullopt, .dial = ptzd::Address{"127.0.0.1", PortOf(listener)},
                         .maxClients = 1, .perSource = ptzd::SourceCounts::kPerSourceOff, .idle = 300000ms, .maxLine = 64},
                        echo.hook());
    ASSERT_TRUE(port.Bind());
    port.Start();
    for (const char* line : {"first\n", "again\n"}) {
        SCOPED_TRACE(line);
        const int peer = ::accept(listener, nullptr, nullptr);  // the port dials (again)
        ASSERT_GE(peer, 0);
        const size_t before = echo.count();
        ASSERT_EQ(::send(peer, line, std::strlen(line), 0), static_cast<ssize_t>(std::strlen(line)));
        ASSERT_TRUE(Eventually([&] { return echo.count() == before + 1; }));
        {
            std::lock_guard lock(echo.mutex);
            EXPECT_TRUE(echo.lines.back().second) << "a line of the dialled peer says so";
        }
        ::close(peer);  // the peer goes: dialled again within the back-off
    }
    port.BeginStop();
    port.Join();
    ::close(listener);

    // An IPv4 address is wanted for the peer.
    ptzd::LinePort named({.what = "test", .listen = std::nullopt, .dial = ptzd::Address{"receiver.local", 30003}}, echo.hook());
    EXPECT_FALSE(named.Bind());
}
