// A fault sweep over the serial port: a clean open, command and close is
// recorded; then, for every operating-system call that run made, the run is
// repeated with exactly that one call failing. Whatever fails, the result,
// the last-error record and the link state must be the ones the failing step
// calls for, no port handle or event may stay open, and the library must
// work again afterwards.
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

class FaultSweep : public LibraryTest {};

TEST_F(FaultSweep, EveryOsCallOfOpenExchangeAndCloseFailingOnce) {
    // The clean run: how often each operation is called in each phase.
    Counts counts;
    {
        FakeSerial fake;
        AnswerLikeAHead(fake);
        ptz::platform::InstallSerialOs(&fake);
        ASSERT_EQ(PTZ_DevOpen(1), PTZ_OK);
        std::copy(std::begin(fake.calls), std::end(fake.calls), counts.open);
        int32_t pan = 0, tilt = 0;
        ASSERT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);
        for (int op = 0; op < static_cast<int>(Op::Count); ++op) counts.command[op] = fake.calls[op] - counts.open[op];
        ASSERT_EQ(PTZ_DevClose(), PTZ_OK);
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

                const int32_t opened = PTZ_DevOpen(1);
                if (phase == Phase::Open) {
                    EXPECT_EQ(opened, PTZ_FAILED);
                    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, kInjected}));
                    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_CLOSED);
                    EXPECT_EQ(fake.openPorts, 0);
                    EXPECT_EQ(PTZ_DevOpen(1), PTZ_OK);  // works again
                } else {
                    ASSERT_EQ(opened, PTZ_OK);
                }
                int32_t pan = 7, tilt = 7;
                const int32_t result = PTZ_GetPTPos(&pan, &tilt);
                if (phase == Phase::Command) {
                    EXPECT_EQ(result, PTZ_FAILED);
                    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_LINK, PTZ_ERR_OS_CALL}));
                    EXPECT_EQ(pan, 7);
                    EXPECT_EQ(ptz::LinkState.load(), PTZ_LINK_SERIAL);
                    EXPECT_EQ(fake.openEvents, 0);
                    fake.Advance(50);  // the answer to the failed command is over
                    EXPECT_EQ(PTZ_GetPTPos(&pan, &tilt), PTZ_OK);  // works again
                } else {
                    EXPECT_EQ(result, PTZ_OK);
                }
                EXPECT_EQ(PTZ_DevClose(), PTZ_OK);
                if (phase == Phase::Close) {
                    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_OS, kInjected}));
                }
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
