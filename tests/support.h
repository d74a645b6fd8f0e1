// Shared test helpers: hex frames, a clean library per test, a simulated
// head on loopback, and the fake serial port installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string_view>
#include <vector>

#include "head.h"
#include "link/link.h"
#include "platform/fake/fake_serial.h"
#include "ptz.h"
#include "server.h"

namespace ptztest {

// "02 80 00 19" -> bytes.
std::vector<uint8_t> Hex(std::string_view text);
std::string ToHex(const std::vector<uint8_t>& bytes);

struct ErrorRecord {
    int32_t kind;
    int32_t code;
    bool operator==(const ErrorRecord&) const = default;
};
std::ostream& operator<<(std::ostream& out, const ErrorRecord& e);
ErrorRecord LastError();
// A loopback port that nobody listens on.
int UnusedPort();

// Every test starts from the library as loaded and leaves no link open.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A TCP link to a simulated head on loopback.
class SimTest : public LibraryTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The next requests are answered with exactly these bytes.
    void AnswerWith(const std::vector<uint8_t>& bytes);
    // The head answers as its model does.
    void AnswerNormally();
    std::vector<std::vector<uint8_t>> Requests() { return head.Requests(); }
    // The newest request the head has seen (empty if none).
    std::vector<uint8_t> LastRequest();

    ptzsim::Head head;
    std::unique_ptr<ptzsim::TcpServer> server;
    int port = -1;
};

// The fake serial port installed as the platform's, with a serial link open
// on it; the fake's device answers as the simulated head's model does.
class FakeSerialTest : public LibraryTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Each completed write is answered by `respond(attempt, request)`.
    void AnswerFromModel(uint32_t ackDelayMs = 1, uint32_t bodyDelayMs = 1);

    ptz::fake::FakeSerial fake;
    ptzsim::HeadModel model;
};

}  // namespace ptztest
