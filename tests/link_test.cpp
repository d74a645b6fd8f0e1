// Link management and the TCP exchange against the simulated head.
#include <atomic>
#include <chrono>
#include <thread>

#include "protocol/frame.h"
#include "support.h"

namespace {

using namespace ptztest;
using namespace std::chrono_literals;

// Every device command, called with arguments it would reject where it has
// checks, so the link check is seen to come first.
const std::vector<std::pair<const char*, std::function<int32_t()>>>& AllCommands() {
    static int32_t i32;
    static uint8_t bytes[8];
    static PTZ_SYSTEM_INFO info;
    static PTZ_SYSTEM_SETTING_INFO settings;
    static PTZ_STATUS status;
    static const std::vector<std::pair<const char*, std::function<int32_t()>>> all = {
        {"ExecInitialize", [] { return PTZ_ExecInitialize(); }},
        {"GetSystemInfo", [] { return PTZ_GetSystemInfo(&info); }},
        {"GetSystemSettingInfo", [] { return PTZ_GetSystemSettingInfo(&settings); }},
        {"GetPTZStatus", [] { return PTZ_GetPTZStatus(&status); }},
        {"SetIrControl", [] { return PTZ_SetIrControl(2); }},
        {"ExecMotorHP", [] { return PTZ_ExecMotorHP(0); }},
        {"SetMotorPos", [] { return PTZ_SetMotorPos(0, 0, 0); }},
        {"GetMotorPos", [] { return PTZ_GetMotorPos(0, &i32); }},
        {"ActMotor", [] { return PTZ_ActMotor(0, 0); }},
        {"StopMotor", [] { return PTZ_StopMotor(0); }},
        {"GetMotorSpeed", [] { return PTZ_GetMotorSpeed(1, &i32); }},
        {"SetMotorSpeed", [] { return PTZ_SetMotorSpeed(0, 0); }},
        {"SetUserHP", [] { return PTZ_SetUserHP(2); }},
        {"MoveUserHP", [] { return PTZ_MoveUserHP(); }},
        {"SetPresetPos", [] { return PTZ_SetPresetPos(0, 5); }},
        {"MovePresetPos", [] { return PTZ_MovePresetPos(17); }},
        {"GetAutoReturn", [] { return PTZ_GetAutoReturn(&i32); }},
        {"SetAutoReturn", [] { return PTZ_SetAutoReturn(1); }},
        {"ExecAutoPan", [] { return PTZ_ExecAutoPan(1, 0, 0); }},
        {"SetPTPos", [] { return PTZ_SetPTPos(0, 0, 0); }},
        {"GetPTPos", [] { return PTZ_GetPTPos(&i32, &i32); }},
        {"GetPanTiltSyncMode", [] { return PTZ_GetPanTiltSyncMode(&i32); }},
        {"SetPanTiltSyncMode", [] { return PTZ_SetPanTiltSyncMode(2); }},
        {"EepRead", [] { return PTZ_EepRead(0, 300, bytes); }},
        {"EepWrite", [] { return PTZ_EepWrite(0, -1, bytes); }},
        {"EepBurn", [] { return PTZ_EepBurn(); }},
        {"GetMotorPos(NULL)", [] { return PTZ_GetMotorPos(0, nullptr); }},
    };
    return all;
}

using ClosedLink = LibraryTest;

TEST_F(ClosedLink, EveryCommandFailsBeforeLookingAtItsArguments) {
    int32_t kind = -1, code = -1;
    EXPECT_EQ(PTZ_GetLastError(&kind, &code), PTZ_OK);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(code, 0);
    for (const auto& [name, call] : AllCommands()) {
        EXPECT_EQ(call(), PTZ_FAILED) << name;
    }
    EXPECT_EQ(LastError(), (ErrorRecord{0, 0}));
    EXPECT_EQ(PTZ_DevClose(), PTZ_FAILED);
    EXPECT_EQ(PTZ_LanOpen(nullptr, 1), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_DevOpenPath(nullptr), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_GetLastError(nullptr, &code), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_GetLastError(&kind, nullptr), PTZ_BAD_PARAM);
}

TEST_F(ClosedLink, FailedConnectLeavesEverythingAsItWas) {
    ptz::SetLastError(1, 1004);
    const int unused = 1;  // nobody listens on loopback port 1: refused at once
    EXPECT_EQ(PTZ_LanOpen("127.0.0.1", unused), PTZ_FAILED);
    EXPECT_EQ(PTZ_LanOpen("not an address", unused), PTZ_FAILED);
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
    EXPECT_EQ(LastError(), (ErrorRecord{1, 1004}));
}

using LanLink = SimTest;

TEST_F(LanLink, InitializeSendsTheWorkedFrameAndAcceptsTheAnswer) {
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_LAN);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(ToHex(LastRequest()), "02 80 00 19 00 03 98");
    EXPECT_EQ(LastError(), (ErrorRecord{0, 0}));
}

TEST_F(LanLink, OpenWhileOpenFailsAndTheLinkKeepsWorking) {
    const int port = head->Port();
    EXPECT_EQ(PTZ_LanOpen("127.0.0.1", port), PTZ_FAILED);
    EXPECT_EQ(PTZ_LanOpen(nullptr, port), PTZ_FAILED);  // the link check comes first
    EXPECT_EQ(PTZ_DevOpen(1), PTZ_FAILED);
    EXPECT_EQ(PTZ_DevOpenPath(nullptr), PTZ_FAILED);  // here too
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    EXPECT_EQ(PTZ_DevClose(), PTZ_FAILED);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    // Close and reopen: the simulator serves the next link.
    EXPECT_EQ(PTZ_LanOpen(head->Host().c_str(), port), PTZ_OK);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
}

TEST_F(LanLink, AFailureStaysRecordedThroughLaterSuccesses) {
    AnswerWith(Hex("02 40 00 19 01 00 03 59"));
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    AnswerNormally();
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
}

TEST_F(LanLink, ResponseSplitAcrossSegmentsIsAccepted) {
    Answer(-1, {{0, Hex("02 40 00")}, {30, Hex("19 00")}, {30, Hex("00 03 58")}});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
}

TEST_F(LanLink, OverlongAnswerDoesNotPoisonTheNextCommand) {
    // The first answer carries garbage after the frame; the next command must
    // be judged on its own answer only.
    Answer(0x19, {{0, Hex("02 40 00 19 00 00 03 58 02 40 00 98 01 00 03 DB")}});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);  // the tail came in the same write as the answer
    int32_t pan = 7, tilt = 8;
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 0);
    EXPECT_EQ(tilt, 0);
}

TEST_F(LanLink, SingleNakByteIsJudgedByTheResponseCheckWithoutResending) {
    // A NAK means nothing over TCP: no second request, and the lone byte
    // fails the mark test. The peer closes after it, so no time-out is needed.
    Answer(-1, {{0, {0x15}}}, true);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_MARK}));
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(LanLink, PeerThatClosesGivesMarkErrorAndTheLinkStaysOpen) {
    Answer(-1, {}, true);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_MARK}));
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_LAN);
    // Later commands on the dead connection fail too (in the send, or again
    // in the check), never hang, never raise SIGPIPE.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    int32_t kind = 0, code = 0;
    PTZ_GetLastError(&kind, &code);
    EXPECT_TRUE((ErrorRecord{kind, code} == ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_MARK}) ||
                (ErrorRecord{kind, code} == ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_OS_CALL}))
        << ErrorRecord{kind, code};
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    EXPECT_EQ(PTZ_LanOpen(head->Host().c_str(), head->Port()), PTZ_OK);
    AnswerNormally();
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
}

TEST_F(LanLink, ShortRefusalIsJudgedAtOnceAndItsTailNeverReachesTheNextCommand) {
    // A refusal without data bytes, the connection left open: the verdict is
    // fixed by byte 4, so the call ends without waiting out the time limit.
    head->SetFaults({.refuseCode = 0x98, .shortRefusal = true});
    int32_t pan = 7, tilt = 8;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4000ms);  // never the 5 s time limit
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    EXPECT_EQ(pan, 7);
    // Wrong mark and wrong echo are final as early, garbage after them included.
    const struct {
        const char* answer;
        int32_t code;
    } early[] = {{"02 41 00 19 00 00 03 59 EE EE", PTZ_ERR_RESP_MARK},
                 {"02 40 00 18 00", PTZ_ERR_RESP_COMMAND},
                 {"02 40 00 19 05", PTZ_ERR_RESP_STATUS}};
    for (const auto& row : early) {
        SCOPED_TRACE(row.answer);
        rules.clear();
        Answer(0x19, {{0, Hex(row.answer)}});
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, 4000ms);
        EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, row.code}));
    }
    // A full-length refusal and the answers after it behave as ever.
    AnswerNormally();
    head->SetFaults({.refuseCode = 0x98});
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    head->SetFaults({});
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 0);
}

TEST_F(LanLink, SilentHeadTimesOutAfterFiveSecondsAndALateAnswerIsDiscarded) {
    // The one real five-second wait of the TCP link.
    Answer(0x19, {{5300, Hex("02 40 00 19 00 00 03 58")}});  // too late
    const unsigned sent = head->RepliesSent();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
    EXPECT_GE(waited, 4900ms);
    // One time limit, not one per retry (however slowly this machine runs).
    EXPECT_LT(waited, 9000ms);
    // The late answer has reached our socket before the next command starts.
    for (int i = 0; i < 10000 && head->RepliesSent() == sent; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_GT(head->RepliesSent(), sent) << "the head never sent its late answer";
    int32_t mode = -1;
    EXPECT_EQ(PTZ_GetPanTiltSyncMode(&mode), PTZ_OK);
    EXPECT_EQ(mode, 0);
}

TEST_F(LanLink, CommandsFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 8, kCalls = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kCalls; ++i) {
                int32_t position = 0;
                if (PTZ_SetMotorPos(t + 10, 0, t * 1000 + i) != PTZ_OK ||
                    PTZ_GetMotorPos(t + 10, &position) != PTZ_OK || position != t * 1000 + i)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Requests().size(), static_cast<size_t>(kThreads * kCalls * 2));
}

}  // namespace
