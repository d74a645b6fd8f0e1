#include "support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "serial/com.h"

namespace ptztest {

std::vector<uint8_t> Hex(std::string_view text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c == ' ') continue;
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.c_str(), nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char part[4];
    for (uint8_t b : bytes) {
        std::snprintf(part, sizeof part, out.empty() ? "%02X" : " %02X", b);
        out += part;
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const ErrorRecord& e) {
    return out << "(" << e.kind << ", " << e.code << ")";
}

ErrorRecord LastError() {
    ErrorRecord e{-99, -99};
    PTZ_GetLastError(&e.kind, &e.code);
    return e;
}

int UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

void LibraryTest::SetUp() {
    ptz::platform::InstallSerialOs(nullptr);
    ptz::ResetLibraryState();
}

void LibraryTest::TearDown() {
    if (ptz::LinkState.load() != PTZ_LINK_CLOSED) PTZ_DevClose();
    ptz::platform::InstallSerialOs(nullptr);
}

void SimTest::SetUp() {
    LibraryTest::SetUp();
    server = std::make_unique<ptzsim::TcpServer>(head);
    port = server->Start();
    ASSERT_GT(port, 0);
    ASSERT_EQ(PTZ_LanOpen("127.0.0.1", port), PTZ_OK);
}

void SimTest::TearDown() {
    LibraryTest::TearDown();
    server->Stop();
}

void SimTest::AnswerWith(const std::vector<uint8_t>& bytes) {
    head.SetScript([bytes](std::span<const uint8_t>) { return ptzsim::Reply{{{0, bytes}}}; });
}

void SimTest::AnswerNormally() { head.SetScript(nullptr); }

std::vector<uint8_t> SimTest::LastRequest() {
    const auto all = head.Requests();
    return all.empty() ? std::vector<uint8_t>{} : all.back();
}

void FakeSerialTest::SetUp() {
    LibraryTest::SetUp();
    ptz::platform::InstallSerialOs(&fake);
    AnswerFromModel();
    ASSERT_EQ(PTZ_DevOpen(3), PTZ_OK);
    fake.log.clear();
    fake.writes.clear();
}

void FakeSerialTest::TearDown() {
    LibraryTest::TearDown();
    EXPECT_EQ(fake.openPorts, 0) << "a port handle was left open";
    EXPECT_EQ(fake.openEvents, 0) << "a transfer event was left open";
}

void FakeSerialTest::AnswerFromModel(uint32_t ackDelayMs, uint32_t bodyDelayMs) {
    fake.onWrite = [this, ackDelayMs, bodyDelayMs](ptz::fake::FakeSerial& f, const std::vector<uint8_t>& w) {
        const std::vector<uint8_t> frame = model.Answer(w);
        if (frame.empty()) {
            f.Deliver(ackDelayMs, {0x15});
            return;
        }
        f.Deliver(ackDelayMs, {frame[0]});
        f.Deliver(ackDelayMs + bodyDelayMs, std::vector<uint8_t>(frame.begin() + 1, frame.end()));
    };
}

}  // namespace ptztest
