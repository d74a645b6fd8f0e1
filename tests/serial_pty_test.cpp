// The serial link for real: the POSIX port on a pseudo-terminal, with the
// simulated head serving the serial protocol on its other side.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "server.h"
#include "support.h"

namespace {

using namespace ptztest;
using namespace std::chrono_literals;

class PtyLink : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        server = std::make_unique<ptzsim::PtyServer>(head);
        path = server->Start();
        ASSERT_FALSE(path.empty());
        ASSERT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK);
    }
    void TearDown() override {
        LibraryTest::TearDown();
        server->Stop();
    }
    ptzsim::Head head;
    std::unique_ptr<ptzsim::PtyServer> server;
    std::string path;
};

TEST_F(PtyLink, CommandsRunEndToEnd) {
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_SERIAL);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(PTZ_SetPTPos(1, 1000, -500), PTZ_OK);
    int32_t pan = 0, tilt = 0;
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 1000);
    EXPECT_EQ(tilt, -500);
    EXPECT_EQ(PTZ_MovePresetPos(9), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_STATUS}));
    EXPECT_EQ(head.Requests().front(), Hex("02 80 00 19 00 03 98"));
}

TEST_F(PtyLink, EveryCommandFamilyWorksOverTheSerialLink) {
    PTZ_SYSTEM_INFO info;
    PTZ_SYSTEM_SETTING_INFO settings;
    PTZ_STATUS status;
    EXPECT_EQ(PTZ_GetSystemInfo(&info), PTZ_OK);
    EXPECT_STREQ(info.text1, "1.0.0");
    EXPECT_EQ(PTZ_GetSystemSettingInfo(&settings), PTZ_OK);
    EXPECT_EQ(PTZ_GetPTZStatus(&status), PTZ_OK);
    int32_t value = 0;
    EXPECT_EQ(PTZ_SetMotorPos(4, 0, -123456), PTZ_OK);
    EXPECT_EQ(PTZ_GetMotorPos(4, &value), PTZ_OK);
    EXPECT_EQ(value, -123456);
    EXPECT_EQ(PTZ_SetMotorSpeed(0, 250), PTZ_OK);
    EXPECT_EQ(PTZ_GetMotorSpeed(0, &value), PTZ_OK);
    EXPECT_EQ(value, 250);
    EXPECT_EQ(PTZ_SetPanTiltSyncMode(1), PTZ_OK);
    EXPECT_EQ(PTZ_GetPanTiltSyncMode(&value), PTZ_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(PTZ_SetUserHP(1), PTZ_OK);
    EXPECT_EQ(PTZ_SetPTPos(0, 5, 5), PTZ_OK);
    EXPECT_EQ(PTZ_MoveUserHP(), PTZ_OK);
    int32_t pan = 0, tilt = 0;
    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
    EXPECT_EQ(pan, 0);
    EXPECT_EQ(tilt, -123456);
    EXPECT_EQ(PTZ_SetAutoReturn(7), PTZ_OK);
    EXPECT_EQ(PTZ_GetAutoReturn(&value), PTZ_OK);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(PTZ_ExecAutoPan(2, 0, 0), PTZ_OK);
    EXPECT_EQ(PTZ_SetIrControl(1), PTZ_OK);
    EXPECT_EQ(PTZ_EepBurn(), PTZ_OK);
}

TEST_F(PtyLink, EveryByteValuePassesUnchangedBothWays) {
    // 0x00-0xFF out in two writes, and back in two reads: nothing translated,
    // swallowed or turned into a signal (XON/XOFF, CR/LF, ^C, ^Z, 0xFF).
    for (int base : {0, 128}) {
        std::vector<uint8_t> bytes(128);
        for (int i = 0; i < 128; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(base + i);
        ASSERT_EQ(PTZ_EepWrite(base, 128, bytes.data()), PTZ_OK);
        const auto request = head.Requests().back();
        ASSERT_EQ(request.size(), 138u);
        EXPECT_EQ(std::memcmp(request.data() + 8, bytes.data(), 128), 0);
        uint8_t back[128] = {};
        ASSERT_EQ(PTZ_EepRead(base, 128, back), PTZ_OK);
        EXPECT_EQ(std::memcmp(back, bytes.data(), 128), 0);
    }
    uint8_t all[248];
    ASSERT_EQ(PTZ_EepRead(0, 248, all), PTZ_OK);
    for (int i = 0; i < 248; ++i) EXPECT_EQ(all[i], i) << i;
}

TEST_F(PtyLink, ReopenedLinkKeepsThreadsFromInterleavingFrames) {
    // The lock must exclude as well after an earlier open and close.
    ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
    ASSERT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK);
    constexpr int kThreads = 4, kCalls = 25;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < kCalls; ++i) {
                const uint8_t mine[4] = {uint8_t(t), uint8_t(i), uint8_t(0xA0 + t), uint8_t(0x50 + i)};
                uint8_t back[4] = {};
                if (PTZ_EepWrite(0x100 * (t + 1), 4, mine) != PTZ_OK ||
                    PTZ_EepRead(0x100 * (t + 1), 4, back) != PTZ_OK || std::memcmp(back, mine, 4) != 0)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(head.Requests().size(), size_t{kThreads * kCalls * 2});
}

TEST_F(PtyLink, NakRetriesAndBadAcknowledgement) {
    head.SetFaults({.nak = 3});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(head.Requests().size(), 4u);
    head.SetFaults({.nak = 4});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_NAK}));
    head.SetFaults({.badAck = true});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_BAD_ACK}));
    head.SetFaults({});
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
}

TEST_F(PtyLink, StaleByteOnTheLineIsPurged) {
    server->Inject({0x15, 0x15});
    std::this_thread::sleep_for(50ms);
    head.ClearRequests();
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
    EXPECT_EQ(head.Requests().size(), 1u);
}

TEST_F(PtyLink, ResponseInPiecesAndLateIsStillOneExchange) {
    head.SetFaults({.delayMs = 100, .pieces = true});
    PTZ_SYSTEM_INFO info;
    EXPECT_EQ(PTZ_GetSystemInfo(&info), PTZ_OK);
    EXPECT_STREQ(info.text0, "PTZ-SIM");
    EXPECT_EQ(head.Requests().size(), 1u);
}

TEST_F(PtyLink, PortIsExclusiveUntilClosed) {
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    const int other = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    // Another program holding the port: the open fails with the OS's reason.
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, EBUSY}));
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
    ::close(other);
    EXPECT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK);
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_OK);
}

TEST_F(PtyLink, SilentHeadTimesOutAfterFiveSeconds) {
    // The one real five-second wait of the serial link.
    head.SetFaults({.silent = true});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PTZ_ExecInitialize(), PTZ_FAILED);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT}));
    EXPECT_GE(waited, 5000ms);
    EXPECT_LT(waited, 9000ms);  // one time limit, not four (however slowly this machine runs)
}

// Runs `host` in a child process, as an unprivileged user when we are root
// (exclusive mode does not bind root); the child's exit status.
int RunHostProcess(const std::function<int()>& host) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
        ::_exit(host());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_F(PtyLink, AHostThatDiesWithoutClosingDoesNotLockOutTheNext) {
    EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    const std::string line = path;
    // The first host opens, works and exits without closing its link.
    EXPECT_EQ(RunHostProcess([&] {
                  if (PTZ_DevOpenPath(line.c_str()) != PTZ_OK) return 1;
                  return PTZ_ExecInitialize() == PTZ_OK ? 0 : 2;
              }),
              0);
    // The next host gets the line (the simulator notices the close shortly).
    int status = -1;
    for (int attempt = 0; attempt < 100 && status != 0; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(20ms);
        status = RunHostProcess([&] {
            if (PTZ_DevOpenPath(line.c_str()) != PTZ_OK) return 1;
            const int32_t r = PTZ_ExecInitialize();
            PTZ_DevClose();
            return r == PTZ_OK ? 0 : 2;
        });
    }
    EXPECT_EQ(status, 0);
    // While a host holds the line, exclusive mode still keeps others out.
    EXPECT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK);
    EXPECT_EQ(RunHostProcess([&] { return PTZ_DevOpenPath(line.c_str()) == PTZ_OK ? 0 : 1; }), 1);
}

using MissingPort = LibraryTest;

TEST_F(MissingPort, OpenFailsWithTheOsErrorAndStaysClosed) {
    EXPECT_EQ(PTZ_DevOpenPath("/dev/ptz-no-such-port"), PTZ_FAILED);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, ENOENT}));
    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
    EXPECT_EQ(PTZ_DevOpen(0), PTZ_FAILED);  // COM0 names no device
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, ENOENT}));
    EXPECT_EQ(PTZ_DevOpenPath("/dev/null"), PTZ_FAILED);  // not a terminal
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, ENOTTY}));
}

}  // namespace
