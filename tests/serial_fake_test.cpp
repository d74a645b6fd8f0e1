// The serial port and the serial exchange on the fake port: every retry,
// time-out and failing OS call, in virtual time.
#include <cstring>

#include "protocol/frame.h"
#include "protocol/transact.h"
#include "serial/com.h"
#include "support.h"

namespace {

using namespace ptztest;
using ptz::fake::FakeSerial;
using ptz::fake::Op;

const std::vector<uint8_t> kInitRequest = Hex("02 80 00 19 00 03 98");
const std::vector<uint8_t> kInitResponse = Hex("02 40 00 19 00 00 03 58");

std::vector<uint8_t> Tail(const std::vector<uint8_t>& frame, size_t from = 1) {
    return {frame.begin() + static_cast<long>(from), frame.end()};
}

// ---- opening and closing ------------------------------------------------------

using SerialOpen = LibraryTest;

TEST_F(SerialOpen, OpensComPortAndSetsTheLineUp) {
    FakeSerial fake;
    ptz::platform::InstallSerialOs(&fake);
    ASSERT_EQ(PTZ_DevOpen(12), PTZ_OK);
    EXPECT_EQ(fake.lastDevice, "\\\\.\\COM12");
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_SERIAL);
    const auto& line = fake.lineSet;
    EXPECT_EQ(line.DCBlength, 28u);
    EXPECT_EQ(line.BaudRate, 38400u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.Parity, 0);
    EXPECT_EQ(line.StopBits, 0);
    EXPECT_EQ(line.fBinary, 1);
    EXPECT_EQ(line.fParity, 0);
    EXPECT_EQ(line.fOutxCtsFlow, 0);
    EXPECT_EQ(line.fRtsControl, 0);
    EXPECT_EQ(line.fOutX, 0);
    EXPECT_EQ(line.fInX, 0);
    EXPECT_EQ(line.native[0], 0xA5) << "other settings must be kept as read";
    EXPECT_EQ(fake.log, (std::vector<std::string>{"Open \\\\.\\COM12", "SetupQueues 1024 1024", "Purge 15", "SetDtr"}));
    EXPECT_EQ(PTZ_DevOpen(12), PTZ_FAILED);  // already open
    EXPECT_EQ(PTZ_LanOpen("127.0.0.1", 1), PTZ_FAILED);
    fake.log.clear();
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    EXPECT_EQ(fake.log, (std::vector<std::string>{"CancelIo", "SetEventMask 0", "ClrDtr", "Purge 15", "Close"}));
    EXPECT_EQ(fake.openPorts, 0);
    EXPECT_EQ(LastError(), (ErrorRecord{0, 0}));
}

TEST_F(SerialOpen, AnyPortNumberFitsTheDeviceName) {
    FakeSerial fake;
    ptz::platform::InstallSerialOs(&fake);
    for (int32_t port : {INT32_MIN, -1, 0, INT32_MAX}) {
        ASSERT_EQ(PTZ_DevOpen(port), PTZ_OK);
        EXPECT_EQ(fake.lastDevice, "\\\\.\\COM" + std::to_string(port));
        ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
    }
}

TEST_F(SerialOpen, EveryFailingSetupStepClosesThePortAndRecordsTheOsError) {
    for (Op op : {Op::Open, Op::GetLineState, Op::SetLineState, Op::SetupQueues, Op::Purge, Op::Escape}) {
        SCOPED_TRACE(ptz::fake::OpName(op));
        FakeSerial fake;
        ptz::platform::InstallSerialOs(&fake);
        fake.FailOn(op, 31);
        EXPECT_EQ(PTZ_DevOpen(3), PTZ_FAILED);
        EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, 31}));
        EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
        EXPECT_EQ(fake.openPorts, 0);
        EXPECT_EQ(ptz::ClassicLink.transport.serial.handle, ptz::platform::kInvalidPort);
        // The next open works.
        EXPECT_EQ(PTZ_DevOpen(3), PTZ_OK);
        EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
        EXPECT_EQ(fake.openPorts, 0);
    }
}

TEST_F(SerialOpen, CloseRunsEveryStepAndKeepsTheLastFailure) {
    FakeSerial fake;
    ptz::platform::InstallSerialOs(&fake);
    ASSERT_EQ(PTZ_DevOpen(3), PTZ_OK);
    fake.log.clear();
    fake.FailOn(Op::CancelIo, 22);
    fake.FailOn(Op::Escape, 23);
    fake.FailOn(Op::Close, 24);
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, 24}));
    EXPECT_EQ(fake.log.size(), 8u);  // five steps plus three failure notes
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
    EXPECT_EQ(fake.openPorts, 0);
}

// ---- the exchange --------------------------------------------------------------

using SerialExchange = FakeSerialTest;

TEST_F(SerialExchange, PromptHeadCostsOnePurgeOneWriteAndTwoReads) {
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(fake.writes, (std::vector<std::vector<uint8_t>>{kInitRequest}));
    EXPECT_EQ(fake.log, (std::vector<std::string>{"Purge 15", "Write 7", "Purge 4", "Read 1", "Read 7"}));
    EXPECT_EQ(fake.timeouts.ReadIntervalTimeout, 0xFFFFu);
    EXPECT_EQ(fake.timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(fake.timeouts.ReadTotalTimeoutConstant, 5000u);
    EXPECT_EQ(fake.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(fake.timeouts.WriteTotalTimeoutConstant, 5000u);
    EXPECT_LT(fake.Now(), 10u);
    EXPECT_EQ(LastError(), (ErrorRecord{0, 0}));
}

// What the head does with each attempt: the acknowledgement byte (or none),
// and the rest of the response after a delay (or part of it, or none).
struct HeadBehaviour {
    std::optional<uint8_t> ack;
    uint32_t bodyDelayMs = 1;
    int bodyBytes = -1;  // -1: the whole rest of the frame
};

struct ExchangeRow {
    const char* name;
    std::vector<HeadBehaviour> attempts;  // the last one repeats
    int32_t result;
    ErrorRecord error;
    size_t writes;
    uint64_t minMs, maxMs;  // virtual time spent
};

class SerialExchangeTable : public FakeSerialTest {};

TEST_F(SerialExchangeTable, RetriesAndTimeoutsFollowTheProtocol) {
    const ExchangeRow rows[] = {
        {"NAK x3 then STX", {{0x15}, {0x15}, {0x15}, {0x02}}, 0, {0, 0}, 4, 0, 50},
        {"NAK x4", {{0x15}}, 1, {1, 1005}, 4, 0, 50},
        {"bad acknowledgement", {{0x06}}, 1, {1, 1006}, 1, 0, 50},
        {"no acknowledgement", {{std::nullopt}}, 1, {1, 1004}, 1, 5000, 5010},
        {"body 12 s late: third read", {{0x02, 12000}}, 0, {0, 0}, 1, 12000, 12010},
        {"L-1 bytes: four reads", {{0x02, 1, 6}}, 1, {1, 1004}, 1, 20000, 20020},
        {"body never", {{0x02, 1, 0}}, 1, {1, 1004}, 1, 20000, 20020},
    };
    for (const ExchangeRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        size_t attempt = 0;
        fake.onWrite = [&](FakeSerial& f, const std::vector<uint8_t>&) {
            const HeadBehaviour& b = row.attempts[std::min(attempt++, row.attempts.size() - 1)];
            if (!b.ack) return;
            f.Deliver(1, {*b.ack});
            if (*b.ack != 0x02) return;
            auto body = Tail(kInitResponse);
            if (b.bodyBytes >= 0) body.resize(static_cast<size_t>(b.bodyBytes));
            f.Deliver(1 + b.bodyDelayMs, body);
        };
        ptz::SetLastError(0, 0);
        const uint64_t start = fake.Now();
        EXPECT_EQ(PTZ_ExecInitialize(), row.result == 0 ? PTZ_OK : PTZ_FAILED);
        EXPECT_EQ(LastError(), row.error);
        EXPECT_EQ(fake.writes.size(), row.writes);
        for (const auto& w : fake.writes) EXPECT_EQ(w, kInitRequest);
        EXPECT_GE(fake.Now() - start, row.minMs);
        EXPECT_LE(fake.Now() - start, row.maxMs);
        EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_SERIAL);
    }
}

TEST_F(SerialExchange, ShortRefusalWaitsOutTheFixedLengthReads) {
    // The serial read takes L bytes: a refusal without data bytes is a
    // time-out there, after four reads, and the outputs stay untouched.
    fake.onWrite = [](FakeSerial& f, const std::vector<uint8_t>&) {
        f.Deliver(1, Tail(ptzsim::ResponseFrame(0x98, 1, {}), 0));
    };
    int32_t pan = 7, tilt = 8;
    const uint64_t start = fake.Now();
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
    EXPECT_GE(fake.Now() - start, 20000u);
    EXPECT_EQ(pan, 7);
    EXPECT_EQ(tilt, 8);
}

TEST_F(SerialExchange, EveryAttemptStartsWithAPurge) {
    int attempt = 0;
    fake.onWrite = [&](FakeSerial& f, const std::vector<uint8_t>&) {
        f.Deliver(1, {++attempt < 3 ? uint8_t{0x15} : uint8_t{0x02}});
        if (attempt >= 3) f.Deliver(2, Tail(kInitResponse));
    };
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    const std::vector<std::string> oneNak = {"Purge 15", "Write 7", "Purge 4", "Read 1"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), oneNak.begin(), oneNak.end());
    expected.push_back("Read 7");
    EXPECT_EQ(fake.log, expected);
}

TEST_F(SerialExchange, StaleByteIsPurgedNotTakenForTheAcknowledgement) {
    fake.Deliver(0, {0x15, 0x06});  // left over from an earlier exchange
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(fake.writes.size(), 1u);
}

TEST_F(SerialExchange, BadBccArrivesCompleteAndIsJudgedByTheCheck) {
    fake.onWrite = [](FakeSerial& f, const std::vector<uint8_t>&) {
        auto bad = kInitResponse;
        bad.back() ^= 1;
        f.Deliver(1, bad);
    };
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_BCC}));
}

TEST_F(SerialExchange, ShortWriteTimesOutWithoutResendOrPurge) {
    fake.writeStallAfter = 3;
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
    EXPECT_EQ(fake.log, (std::vector<std::string>{"Purge 15", "Write 7", "Cancel"}));
    EXPECT_GE(fake.Now(), 5000u);
}

TEST_F(SerialExchange, FailingOsCallsInTheExchangeLeaveKindOne) {
    // Each operation of the exchange, failing on its first use in the command.
    for (Op op : {Op::Purge, Op::ClearLineError, Op::SetTimeouts, Op::CreateEvent, Op::StartWrite,
                  Op::StartRead, Op::Transfer}) {
        SCOPED_TRACE(ptz::fake::OpName(op));
        TearDown();
        SetUp();
        fake.FailOn(op, 1167);
        const uint64_t start = fake.Now();
        EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
        EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_OS_CALL}));
        EXPECT_LT(fake.Now() - start, 100u) << "a failed transfer must end the wait at once";
        EXPECT_EQ(fake.openEvents, 0);
        // The link stays open and the next command works, once the answer
        // to the failed one is over.
        fake.Advance(100);
        EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    }
}

TEST_F(SerialExchange, WritePurgeFailureIsAnOsCallFailure) {
    fake.FailOn(Op::Purge, 5, 2);  // the second purge: the one after the write
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_OS_CALL}));
}

TEST_F(SerialExchange, DeadlineIsElapsedTimeAcrossTheTickWrap) {
    for (uint32_t startTick : {0xFFFFFFFFu - 2000u, 0xFFFFFFFFu - 4999u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(startTick);
        fake.SetTick(startTick);
        fake.onWrite = nullptr;
        const uint64_t start = fake.Now();
        EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
        EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
        EXPECT_GE(fake.Now() - start, 5000u);
        EXPECT_LE(fake.Now() - start, 5002u);
    }
}

TEST_F(SerialExchange, ResponseFrameIsTheAcknowledgementPlusTheRest) {
    // Every byte value through the exchange unchanged.
    std::vector<uint8_t> data(184);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 72);
    const auto frame = ptzsim::ResponseFrame(0x00, 0, data);
    fake.onWrite = [&](FakeSerial& f, const std::vector<uint8_t>&) { f.Deliver(1, frame); };
    PTZ_SYSTEM_INFO info;
    ASSERT_EQ(PTZ_GetSystemInfo(&info), PTZ_OK);
    EXPECT_EQ(std::memcmp(ptz::ClassicLink.response, frame.data(), frame.size()), 0);
    EXPECT_EQ(static_cast<uint8_t>(info.text0[0]), 24 + 72);
}

TEST_F(SerialExchange, TheSameCommandSendsTheSameBytesAsOverTcp) {
    EXPECT_EQ(PTZ_SetPTPos(1, 1000, -500), PTZ_OK);
    EXPECT_EQ(ToHex(fake.writes.back()), "02 80 00 8C 09 01 00 00 03 E8 FF FF FE 0C 03 1C");
    int32_t pan = 0, tilt = 0;
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 1000);
    EXPECT_EQ(tilt, -500);
}

}  // namespace
