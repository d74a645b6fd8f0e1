// Shared test helpers: hex frames, a clean library per test, a simulated
// head (in-process, or a ptz-sim process reached through its control
// channel), and the fake serial port installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "head.h"
#include "link/link.h"
#include "platform/fake/fake_serial.h"
#include "ptz.h"

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
// The calling thread's record of the handle exports.
ErrorRecord ThreadError();

// Every test starts from the library as loaded and leaves no link open.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// What a test can ask of the simulated head at the other end of its link.
class SimHead {
public:
    virtual ~SimHead() = default;
    virtual std::string Host() = 0;
    virtual int Port() = 0;
    virtual void Reset() = 0;
    virtual void SetRules(const std::vector<ptzsim::Rule>& rules) = 0;
    virtual void SetFaults(const ptzsim::Faults& faults) = 0;
    virtual std::vector<std::vector<uint8_t>> Requests() = 0;
    virtual void ClearRequests() = 0;
    virtual unsigned Burns() = 0;
    // Replies the head has written out whole.
    virtual unsigned RepliesSent() = 0;
};

// The head for this test run: a ptz-sim process when PTZ_SIM names one
// ("HOST:PORT:CONTROLPORT"), otherwise one in this process (POSIX only;
// nullptr where there is none).
SimHead* SharedSimHead();
// A second, independent head: PTZ_SIM2 names a ptz-sim process, otherwise
// one in this process (POSIX only; nullptr where there is none).
SimHead* SecondSimHead();

// How many descriptors the process has open (POSIX only).
int OpenDescriptors();
// Waits (up to 10 s) until the process has `expected` descriptors open, as
// it will once the in-process simulators have closed their ends of links
// just closed; returns the count seen last.
int DescriptorsSettleAt(int expected);

// A TCP link to a fresh simulated head.
class SimTest : public LibraryTest {
protected:
    void SetUp() override;

    // Every request is answered with exactly these bytes.
    void AnswerWith(const std::vector<uint8_t>& bytes);
    // Requests with `code` (-1: all) get these chunks, then maybe a close.
    void Answer(int code, std::vector<ptzsim::Chunk> chunks, bool close = false);
    // The head answers as its model does.
    void AnswerNormally() { head->SetRules({}); }
    std::vector<std::vector<uint8_t>> Requests() { return head->Requests(); }
    std::vector<uint8_t> LastRequest();

    SimHead* head = nullptr;
    std::vector<ptzsim::Rule> rules;
};

// The fake serial port installed as the platform's, with a serial link open
// on it; the fake's device answers as the simulated head's model does.
class FakeSerialTest : public LibraryTest {
protected:
    void SetUp() override;
    void TearDown() override;
    void AnswerFromModel(uint32_t ackDelayMs = 1, uint32_t bodyDelayMs = 1);

    ptz::fake::FakeSerial fake;
    ptzsim::HeadModel model;
};

}  // namespace ptztest
