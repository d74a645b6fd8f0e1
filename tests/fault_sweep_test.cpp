// A fault sweep over the serial port: a clean open, command and close is
// recorded; then, for every operating-system call that run made, the run is
// repeated with exactly that one call failing. Whatever fails, the result,
// the last-error record and the link state must be the ones the failing step
// calls for, no port handle or event may stay open, and the library must
// work again afterwards. The sweep runs through both front doors: the
// classic exports and a link by handle.
#include "support.h"

namespace {

using namespace ptztest;
using ptz::fake::FakeSerial;
using ptz::fake::Op;

constexpr int32_t kInjected = 4242;

enum class Phase { Open, Command, Close };

struct Counts {
    int open[static_cast<int>(Op::Count)] = {};
    int command[static_cast<int>(Op::Count)] = {};
    int close[static_cast<int>(Op::Count)] = {};
};

void AnswerLikeAHead(FakeSerial& fake) {
    fake.onWrite = [](FakeSerial& f, const std::vector<uint8_t>& request) {
        const auto frame = ptzsim::HeadModel().Answer(request);
        f.Deliver(1, frame);
    };
}

// One front door: open, one command, close, and the record that says why.
struct Door {
    bool classic;
    int32_t link = 0;
    int32_t Open() { return classic ? PTZ_DevOpen(1) : PTZ_LinkOpenCom(1, &link); }
    int32_t GetPTPos(int32_t* pan, int32_t* tilt) {
        return classic ? PTZ_GetPTPos(pan, tilt) : PTZ_LinkGetPTPos(link, pan, tilt);
    }
    int32_t Close() { return classic ? PTZ_DevClose() : PTZ_LinkClose(link); }
    ErrorRecord Record() { return classic ? LastError() : ThreadError(); }
    bool IsOpen() { return classic ? ptz::LinkState.load() != PTZ_LINK_CLOSED : link != 0; }
};

class FaultSweep : public LibraryTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(BothDoors, FaultSweep, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Classic" : "Handle"; });

TEST_P(FaultSweep, EveryOsCallOfOpenExchangeAndCloseFailingOnce) {
    // The clean run: how often each operation is called in each phase.
    Counts counts;
    {
        FakeSerial fake;
        AnswerLikeAHead(fake);
        ptz::platform::InstallSerialOs(&fake);
        Door door{GetParam()};
        ASSERT_EQ(door.Open(), PTZ_OK);
        std::copy(std::begin(fake.calls), std::end(fake.calls), counts.open);
        int32_t pan = 0, tilt = 0;
        ASSERT_EQ(door.GetPTPos(&pan, &tilt), PTZ_OK);
        for (int op = 0; op < static_cast<int>(Op::Count); ++op) counts.command[op] = fake.calls[op] - counts.open[op];
        ASSERT_EQ(door.Close(), PTZ_OK);
        for (int op = 0; op < static_cast<int>(Op::Count); ++op)
            counts.close[op] = fake.calls[op] - counts.open[op] - counts.command[op];
        ptz::platform::InstallSerialOs(nullptr);
    }

    int cases = 0;
    for (Phase phase : {Phase::Open, Phase::Command, Phase::Close}) {
        const int* perOp = phase == Phase::Open ? counts.open : phase == Phase::Command ? counts.command : counts.close;
        for (int op = 0; op < static_cast<int>(Op::Count); ++op) {
            for (int nth = 1; nth <= perOp[op]; ++nth) {
                SCOPED_TRACE(std::string(phase == Phase::Open ? "open" : phase == Phase::Command ? "command" : "close") +
                             ": call " + std::to_string(nth) + " of " + ptz::fake::OpName(static_cast<Op>(op)));
                ++cases;
                ptz::ResetLibraryState();
                FakeSerial fake;
                AnswerLikeAHead(fake);
                ptz::platform::InstallSerialOs(&fake);
                const int already = phase == Phase::Open ? 0
                                    : phase == Phase::Command ? counts.open[op]
                                                              : counts.open[op] + counts.command[op];
                fake.FailOn(static_cast<Op>(op), kInjected, already + nth);

                Door door{GetParam()};
                const int32_t opened = door.Open();
                if (phase == Phase::Open) {
                    EXPECT_EQ(opened, PTZ_FAILED);
                    EXPECT_EQ(door.Record(), (ErrorRecord{PTZ_ERRKIND_OS, kInjected}));
                    EXPECT_FALSE(door.IsOpen());
                    EXPECT_EQ(fake.openPorts, 0);
                    EXPECT_EQ(door.Open(), PTZ_OK);  // works again
                } else {
                    ASSERT_EQ(opened, PTZ_OK);
                }
                int32_t pan = 7, tilt = 7;
                const int32_t result = door.GetPTPos(&pan, &tilt);
                if (phase == Phase::Command) {
                    EXPECT_EQ(result, PTZ_FAILED);
                    EXPECT_EQ(door.Record(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_OS_CALL}));
                    EXPECT_EQ(pan, 7);
                    EXPECT_TRUE(door.IsOpen());
                    EXPECT_EQ(fake.openEvents, 0);
                    fake.Advance(50);  // the answer to the failed command is over
                    EXPECT_EQ(door.GetPTPos(&pan, &tilt), PTZ_OK);  // works again
                } else {
                    EXPECT_EQ(result, PTZ_OK);
                }
                EXPECT_EQ(door.Close(), PTZ_OK);
                if (phase == Phase::Close) {
                    EXPECT_EQ(door.Record(), (ErrorRecord{PTZ_ERRKIND_OS, kInjected}));
                }
                // The other door's record saw none of it.
                EXPECT_EQ(GetParam() ? ThreadError() : LastError(), (ErrorRecord{0, 0}));
                EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
                EXPECT_EQ(fake.openPorts, 0);
                EXPECT_EQ(fake.openEvents, 0);
                ptz::platform::InstallSerialOs(nullptr);
            }
        }
    }
    EXPECT_GE(cases, 25);
    std::printf("%d single-failure cases\n", cases);
}

}  // namespace
