// Connecting is bounded: a head whose address takes the connection request
// but never completes it (here: a listening socket whose queue is full, so
// the system drops further requests) fails the open after about 5 s, like a
// refused connection, nothing left open. The classic open records nothing;
// the handle open, waiting at the same time on another thread, records a
// time-out in its thread's record.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "server.h"
#include "support.h"

namespace {

using namespace ptztest;
using namespace std::chrono_literals;

using ConnectTimeout = LibraryTest;

TEST_F(ConnectTimeout, UnansweredConnectGivesUpAfterFiveSeconds) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    // Fill the accept queue; never accept.
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    // The queue is full once the first of them is connected; the others' and
    // our handshakes go unanswered.
    pollfd first{fillers[0], POLLOUT, 0};
    ASSERT_EQ(::poll(&first, 1, 5000), 1);

    ptz::SetLastError(1, 1006);
    const int before = OpenDescriptors();
    const auto start = std::chrono::steady_clock::now();
    int32_t link = 55;
    ErrorRecord handleRecord{};
    std::thread byHandle([&] {
        EXPECT_EQ(PTZ_LinkOpenLan("127.0.0.1", ntohs(address.sin_port), &link), PTZ_FAILED);
        handleRecord = ThreadError();
    });
    EXPECT_EQ(PTZ_LanOpen("127.0.0.1", ntohs(address.sin_port)), PTZ_FAILED);
    byHandle.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(link, 55);
    EXPECT_EQ(handleRecord, (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
    EXPECT_GE(waited, 4900ms);
    EXPECT_LT(waited, 9000ms);  // one time limit, however slowly this machine runs
    EXPECT_EQ(LastError(), (ErrorRecord{1, 1006}));
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
    EXPECT_EQ(OpenDescriptors(), before);
    for (int fd : fillers) ::close(fd);
    ::close(listener);
}

}  // namespace

namespace {

using namespace ptztest;

using Ipv6 = LibraryTest;

TEST_F(Ipv6, HandleLinksReachAHeadOnIpv6Loopback) {
    ptzsim::Head head;
    ptzsim::TcpServer server(head);
    const int port = server.Start("::1", 0);
    if (port < 0) GTEST_SKIP() << "no IPv6 loopback on this machine";
    int32_t link = 0;
    ASSERT_EQ(PTZ_LinkOpenLan("::1", port, &link), PTZ_OK);
    EXPECT_EQ(PTZ_LinkSetPTPos(link, 1, 12, -34), PTZ_OK);
    int32_t pan = 0, tilt = 0;
    EXPECT_EQ(PTZ_LinkGetPTPos(link, &pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 12);
    EXPECT_EQ(tilt, -34);
    EXPECT_EQ(PTZ_LinkClose(link), PTZ_OK);
    // The IPv4 loopback on the same port has nobody: refused, not confused.
    EXPECT_EQ(PTZ_LinkOpenLan("127.0.0.1", port, &link), PTZ_FAILED);
    EXPECT_EQ(ThreadError(), (ErrorRecord{PTZ_ERRKIND_OS, ECONNREFUSED}));
}

}  // namespace
