// Links by handle: every command the same as its classic twin, links that
// do not hold each other up, refused misuse, per-thread records, closing a
// busy link, and why an open failed.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <thread>

#include "link/handles.h"
#include "support.h"

#ifdef _WIN32
constexpr int32_t kRefused = 10061;  // WSAECONNREFUSED
#else
constexpr int32_t kRefused = ECONNREFUSED;
#endif

namespace {

using namespace ptztest;
using namespace std::chrono_literals;

struct Outputs {
    int32_t a = 0x5A5A5A5A, b = 0x5A5A5A5A;
    PTZ_SYSTEM_INFO info;
    PTZ_SYSTEM_SETTING_INFO settings;
    PTZ_STATUS status;
    uint8_t eeprom[248];
    Outputs() {
        std::memset(&info, 0x5A, sizeof info);
        std::memset(&settings, 0x5A, sizeof settings);
        std::memset(&status, 0x5A, sizeof status);
        std::memset(eeprom, 0x5A, sizeof eeprom);
    }
};

const uint8_t kBytes[4] = {0xDE, 0xAD, 0xBE, 0xEF};

// Each command twice: the classic export, and the handle export on link h.
struct Twin {
    const char* name;
    std::function<int32_t(Outputs&)> classic;
    std::function<int32_t(int32_t, Outputs&)> handle;
};

const std::vector<Twin>& Twins() {
    static const std::vector<Twin> twins = {
        {"ExecInitialize", [](Outputs&) { return PTZ_ExecInitialize(); },
         [](int32_t h, Outputs&) { return PTZ_LinkExecInitialize(h); }},
        {"GetSystemInfo", [](Outputs& o) { return PTZ_GetSystemInfo(&o.info); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetSystemInfo(h, &o.info); }},
        {"GetSystemSettingInfo", [](Outputs& o) { return PTZ_GetSystemSettingInfo(&o.settings); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetSystemSettingInfo(h, &o.settings); }},
        {"SetIrControl", [](Outputs&) { return PTZ_SetIrControl(1); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetIrControl(h, 1); }},
        {"ExecMotorHP", [](Outputs&) { return PTZ_ExecMotorHP(4); },
         [](int32_t h, Outputs&) { return PTZ_LinkExecMotorHP(h, 4); }},
        {"SetMotorPos", [](Outputs&) { return PTZ_SetMotorPos(0, 2, -300); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetMotorPos(h, 0, 2, -300); }},
        {"GetMotorPos", [](Outputs& o) { return PTZ_GetMotorPos(0, &o.a); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetMotorPos(h, 0, &o.a); }},
        {"ActMotor", [](Outputs&) { return PTZ_ActMotor(1, 2); },
         [](int32_t h, Outputs&) { return PTZ_LinkActMotor(h, 1, 2); }},
        {"StopMotor", [](Outputs&) { return PTZ_StopMotor(4); },
         [](int32_t h, Outputs&) { return PTZ_LinkStopMotor(h, 4); }},
        {"SetMotorSpeed", [](Outputs&) { return PTZ_SetMotorSpeed(4, 0x1C8); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetMotorSpeed(h, 4, 0x1C8); }},
        {"GetMotorSpeed", [](Outputs& o) { return PTZ_GetMotorSpeed(4, &o.a); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetMotorSpeed(h, 4, &o.a); }},
        {"GetMotorSpeed(1) refused", [](Outputs& o) { return PTZ_GetMotorSpeed(1, &o.a); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetMotorSpeed(h, 1, &o.a); }},
        {"SetPTPos", [](Outputs&) { return PTZ_SetPTPos(1, 1000, -500); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetPTPos(h, 1, 1000, -500); }},
        {"GetPTPos", [](Outputs& o) { return PTZ_GetPTPos(&o.a, &o.b); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetPTPos(h, &o.a, &o.b); }},
        {"SetUserHP", [](Outputs&) { return PTZ_SetUserHP(1); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetUserHP(h, 1); }},
        {"MoveUserHP", [](Outputs&) { return PTZ_MoveUserHP(); },
         [](int32_t h, Outputs&) { return PTZ_LinkMoveUserHP(h); }},
        {"SetPresetPos", [](Outputs&) { return PTZ_SetPresetPos(16, 0); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetPresetPos(h, 16, 0); }},
        {"MovePresetPos", [](Outputs&) { return PTZ_MovePresetPos(16); },
         [](int32_t h, Outputs&) { return PTZ_LinkMovePresetPos(h, 16); }},
        {"MovePresetPos unstored", [](Outputs&) { return PTZ_MovePresetPos(2); },
         [](int32_t h, Outputs&) { return PTZ_LinkMovePresetPos(h, 2); }},
        {"SetAutoReturn", [](Outputs&) { return PTZ_SetAutoReturn(300); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetAutoReturn(h, 300); }},
        {"GetAutoReturn", [](Outputs& o) { return PTZ_GetAutoReturn(&o.a); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetAutoReturn(h, &o.a); }},
        {"ExecAutoPan", [](Outputs&) { return PTZ_ExecAutoPan(2, 5, 7); },
         [](int32_t h, Outputs&) { return PTZ_LinkExecAutoPan(h, 2, 5, 7); }},
        {"GetPTZStatus", [](Outputs& o) { return PTZ_GetPTZStatus(&o.status); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetPTZStatus(h, &o.status); }},
        {"SetPanTiltSyncMode", [](Outputs&) { return PTZ_SetPanTiltSyncMode(1); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetPanTiltSyncMode(h, 1); }},
        {"SetPanTiltSyncMode(2) refused", [](Outputs&) { return PTZ_SetPanTiltSyncMode(2); },
         [](int32_t h, Outputs&) { return PTZ_LinkSetPanTiltSyncMode(h, 2); }},
        {"GetPanTiltSyncMode", [](Outputs& o) { return PTZ_GetPanTiltSyncMode(&o.a); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetPanTiltSyncMode(h, &o.a); }},
        {"EepWrite", [](Outputs&) { return PTZ_EepWrite(0xFFFE, 4, kBytes); },
         [](int32_t h, Outputs&) { return PTZ_LinkEepWrite(h, 0xFFFE, 4, kBytes); }},
        {"EepRead", [](Outputs& o) { return PTZ_EepRead(0xFFFE, 248, o.eeprom); },
         [](int32_t h, Outputs& o) { return PTZ_LinkEepRead(h, 0xFFFE, 248, o.eeprom); }},
        {"EepRead(249) refused", [](Outputs& o) { return PTZ_EepRead(0, 249, o.eeprom); },
         [](int32_t h, Outputs& o) { return PTZ_LinkEepRead(h, 0, 249, o.eeprom); }},
        {"EepBurn", [](Outputs&) { return PTZ_EepBurn(); }, [](int32_t h, Outputs&) { return PTZ_LinkEepBurn(h); }},
        {"GetPTPos(NULL) refused", [](Outputs& o) { return PTZ_GetPTPos(nullptr, &o.b); },
         [](int32_t h, Outputs& o) { return PTZ_LinkGetPTPos(h, nullptr, &o.b); }},
    };
    return twins;
}

// A TCP link by handle to the second head, beside the classic link that
// SimTest opens to the first.
class Handles : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        if (IsSkipped()) return;
        second = SecondSimHead();
        if (second == nullptr) GTEST_SKIP() << "no second simulated head: set PTZ_SIM2";
        second->Reset();
        ASSERT_EQ(PTZ_LinkOpenLan(second->Host().c_str(), second->Port(), &link), PTZ_OK);
        ASSERT_GT(link, 0);
    }
    void TearDown() override {
        if (link > 0) PTZ_LinkClose(link);
        SimTest::TearDown();
    }
    SimHead* second = nullptr;
    int32_t link = 0;
};

TEST_F(Handles, EveryCommandMatchesItsClassicTwin) {
    // Both heads start alike and see the same calls, so every answer must
    // match: result, record, outputs, and the request bytes on the wire.
    for (const Twin& twin : Twins()) {
        SCOPED_TRACE(twin.name);
        head->ClearRequests();
        second->ClearRequests();
        ptz::SetLastError(0, 0);
        ptz::SetThreadError(0, 0);
        Outputs viaClassic, viaHandle;
        const int32_t classic = twin.classic(viaClassic);
        const int32_t handle = twin.handle(link, viaHandle);
        EXPECT_EQ(classic, handle);
        EXPECT_EQ(LastError(), ThreadError());
        EXPECT_EQ(std::memcmp(&viaClassic, &viaHandle, sizeof viaClassic), 0);
        EXPECT_EQ(head->Requests(), second->Requests());
    }
    EXPECT_EQ(second->Burns(), 1u);
}

TEST_F(Handles, MisusedHandlesAreRefusedAndSendNothing) {
    int32_t closed = 0;
    ASSERT_EQ(PTZ_LinkOpenLan(second->Host().c_str(), second->Port(), &closed), PTZ_OK);
    ASSERT_EQ(PTZ_LinkClose(closed), PTZ_OK);
    second->ClearRequests();
    const int32_t wrong[] = {0, -1, INT32_MIN, INT32_MAX, link + 1, link ^ (1 << 20), link & 1023, closed};
    for (const int32_t h : wrong) {
        SCOPED_TRACE(h);
        for (const Twin& twin : Twins()) {
            Outputs o;
            EXPECT_EQ(twin.handle(h, o), PTZ_BAD_PARAM) << twin.name;
        }
        EXPECT_EQ(PTZ_LinkClose(h), PTZ_BAD_PARAM);
    }
    EXPECT_TRUE(second->Requests().empty());
    EXPECT_EQ(ThreadError(), (ErrorRecord{0, 0}));
    // NULL pointers and ports out of range are refused before anything opens.
    int32_t untouched = 77;
    EXPECT_EQ(PTZ_LinkOpenLan(nullptr, second->Port(), &untouched), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkOpenLan(second->Host().c_str(), second->Port(), nullptr), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkOpenLan(second->Host().c_str(), 0, &untouched), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkOpenLan(second->Host().c_str(), 65536, &untouched), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkOpenPath(nullptr, &untouched), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkOpenPath("COM1", nullptr), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkOpenCom(1, nullptr), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkLastError(nullptr, &untouched), PTZ_BAD_PARAM);
    EXPECT_EQ(untouched, 77);
    // The link itself is unharmed by all of it.
    EXPECT_EQ(PTZ_LinkExecInitialize(link), PTZ_OK);
}

TEST_F(Handles, AReusedSlotNeverAnswersToItsOldHandle) {
    // Free slots are taken in turn, so after a full round the first slot
    // comes back with a new generation. (The first head serves one
    // connection at a time: the classic link makes way.)
    ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
    int32_t first = 0, again = 0;
    ASSERT_EQ(PTZ_LinkOpenLan(head->Host().c_str(), head->Port(), &first), PTZ_OK);
    ASSERT_EQ(PTZ_LinkClose(first), PTZ_OK);
    for (int i = 0; i < ptz::kMaxLinks; ++i) {
        int32_t h = 0;
        ASSERT_EQ(PTZ_LinkOpenLan(head->Host().c_str(), head->Port(), &h), PTZ_OK);
        if ((h & (ptz::kMaxLinks - 1)) == (first & (ptz::kMaxLinks - 1))) {
            again = h;
            break;
        }
        ASSERT_EQ(PTZ_LinkClose(h), PTZ_OK);
    }
    ASSERT_NE(again, 0);
    EXPECT_NE(again, first);
    int32_t pan = 0, tilt = 0;
    EXPECT_EQ(PTZ_LinkGetPTPos(first, &pan, &tilt), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkClose(first), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_LinkGetPTPos(again, &pan, &tilt), PTZ_OK);
    EXPECT_EQ(PTZ_LinkClose(again), PTZ_OK);
}

TEST_F(Handles, ASilentHeadHoldsUpOnlyItsOwnLinkThreads) {
    second->SetFaults({.silent = true});
    int32_t fast = 0;
    ASSERT_EQ(PTZ_DevClose(), PTZ_OK);  // the first head's connection, for a handle
    ASSERT_EQ(PTZ_LinkOpenLan(head->Host().c_str(), head->Port(), &fast), PTZ_OK);
    ptz::SetLastError(1, 1006);
    std::atomic<bool> silentDone{false};
    ErrorRecord silentRecord{};
    std::thread waiting([&] {
        EXPECT_EQ(PTZ_LinkExecInitialize(link), PTZ_FAILED);
        silentRecord = ThreadError();
        silentDone = true;
    });
    // While that call waits out its time limit, the other link serves a
    // hundred calls.
    int served = 0;
    for (int i = 0; i < 100; ++i) {
        int32_t pan = 0, tilt = 0;
        if (PTZ_LinkSetPTPos(fast, 0, i, -i) == PTZ_OK && PTZ_LinkGetPTPos(fast, &pan, &tilt) == PTZ_OK &&
            pan == i && tilt == -i)
            ++served;
    }
    EXPECT_EQ(served, 100);
    EXPECT_FALSE(silentDone.load()) << "the silent head's call ended before the other link's hundred calls";
    waiting.join();
    EXPECT_EQ(silentRecord, (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
    // Nobody else's record moved.
    EXPECT_EQ(ThreadError(), (ErrorRecord{0, 0}));
    EXPECT_EQ(LastError(), (ErrorRecord{1, 1006}));
    EXPECT_EQ(PTZ_LinkClose(fast), PTZ_OK);
}

TEST_F(Handles, EachThreadReadsItsOwnRecordAndTheClassicOneStaysApartThreads) {
    // Two threads fail differently on their links at the same time.
    int32_t other = 0;
    ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
    ASSERT_EQ(PTZ_LinkOpenLan(head->Host().c_str(), head->Port(), &other), PTZ_OK);
    second->SetFaults({.badBcc = true});
    ptz::SetLastError(1, 1005);
    ErrorRecord refused{}, corrupted{};
    std::atomic<int> ready{0};
    auto barrier = [&] {
        ++ready;
        while (ready.load() < 2) std::this_thread::yield();
    };
    std::thread a([&] {
        EXPECT_EQ(PTZ_LinkMovePresetPos(other, 9), PTZ_FAILED);  // never stored
        barrier();
        refused = ThreadError();
    });
    std::thread b([&] {
        EXPECT_EQ(PTZ_LinkExecInitialize(link), PTZ_FAILED);
        barrier();
        corrupted = ThreadError();
    });
    a.join();
    b.join();
    EXPECT_EQ(refused, (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    EXPECT_EQ(corrupted, (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_BCC}));
    EXPECT_EQ(LastError(), (ErrorRecord{1, 1005}));
    EXPECT_EQ(ThreadError(), (ErrorRecord{0, 0}));
    // And a classic failure leaves the thread's record alone.
    EXPECT_EQ(PTZ_LanOpen(head->Host().c_str(), 1), PTZ_FAILED);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);  // no classic link
    ptz::SetThreadError(0, 0);
    ASSERT_EQ(PTZ_LinkClose(other), PTZ_OK);
    ASSERT_EQ(PTZ_LanOpen(head->Host().c_str(), head->Port()), PTZ_OK);
    head->SetFaults({.refuseCode = 0x19});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    EXPECT_EQ(ThreadError(), (ErrorRecord{0, 0}));
}

TEST_F(Handles, CloseWaitsForTheCommandRunningOnTheLinkThreads) {
    // The head holds its answer 300 ms after the request reaches it, so a
    // close that waits for the command cannot return sooner than 300 ms
    // after the command was started, and the command itself succeeds. (When
    // the other thread gets to run again after the close is not known.)
    constexpr auto kDelay = 300ms;
    second->SetFaults({.delayMs = static_cast<int>(kDelay.count())});
    std::atomic<int32_t> result{-1};
    const auto started = std::chrono::steady_clock::now();
    std::thread running([&] {
        int32_t pan = 0, tilt = 0;
        result = PTZ_LinkGetPTPos(link, &pan, &tilt);
    });
    // Wait until the command has taken the link, then close under it.
    while (second->Requests().empty()) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(PTZ_LinkClose(link), PTZ_OK);
    const auto closed = std::chrono::steady_clock::now() - started;
    // A few milliseconds of slack for the two processes' readings of the clock.
    EXPECT_GE(closed, kDelay - 5ms) << "the close returned before the head had answered the running command";
    running.join();
    EXPECT_EQ(result.load(), PTZ_OK);
    int32_t pan = 0, tilt = 0;
    EXPECT_EQ(PTZ_LinkGetPTPos(link, &pan, &tilt), PTZ_BAD_PARAM);
    link = 0;
}

using HandleOpen = LibraryTest;

TEST_F(HandleOpen, FailuresSayWhyAndLeaveTheHandleAlone) {
    int32_t link = 1234;
    ptz::SetLastError(1, 1006);
    EXPECT_EQ(PTZ_LinkOpenLan("127.0.0.1", 1, &link), PTZ_FAILED);  // nobody listens on port 1
    EXPECT_EQ(ThreadError(), (ErrorRecord{PTZ_ERRKIND_OS, kRefused}));
    EXPECT_EQ(PTZ_LinkOpenLan("no-such-host.invalid", 4001, &link), PTZ_FAILED);
    EXPECT_EQ(ThreadError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_HOST}));
    EXPECT_EQ(PTZ_LinkOpenLan("1.2.3.4.5", 4001, &link), PTZ_FAILED);
    EXPECT_EQ(ThreadError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_HOST}));
    EXPECT_EQ(PTZ_LinkOpenPath("/dev/ptz-no-such-port", &link), PTZ_FAILED);
    EXPECT_EQ(ThreadError().kind, PTZ_ERRKIND_OS);
    EXPECT_EQ(link, 1234);
    EXPECT_EQ(LastError(), (ErrorRecord{1, 1006}));  // classic record untouched
    char text[256];
    EXPECT_EQ(PTZ_GetErrorText(PTZ_ERRKIND_LINK, PTZ_ERR_HOST, text, sizeof text), PTZ_OK);
    EXPECT_NE(std::strstr(text, "resolved"), nullptr);
}

TEST_F(HandleOpen, HostNamesAndLocalhostReachTheHead) {
    SimHead* head = SharedSimHead();
    if (head == nullptr) GTEST_SKIP() << "no simulated head";
    head->Reset();
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        int32_t link = 0;
        ASSERT_EQ(PTZ_LinkOpenLan(host, head->Port(), &link), PTZ_OK);
        EXPECT_EQ(PTZ_LinkExecInitialize(link), PTZ_OK);
        EXPECT_EQ(PTZ_LinkClose(link), PTZ_OK);
    }
}

}  // namespace
