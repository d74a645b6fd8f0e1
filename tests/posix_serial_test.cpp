// The POSIX serial backend on its own, against a pseudo-terminal: what it
// writes to the line settings reads back, and what it was not asked to
// change survives the open.
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "support.h"

namespace {

using namespace ptztest;
namespace platform = ptz::platform;

class PosixSerialBackend : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        path = ::ptsname(master);
        keeper = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(keeper, 0);
    }
    void TearDown() override {
        LibraryTest::TearDown();
        ::close(keeper);
        ::close(master);
    }
    termios Settings() {
        termios tio{};
        EXPECT_EQ(::tcgetattr(keeper, &tio), 0);
        return tio;
    }

    int master = -1, keeper = -1;
    std::string path;
};

TEST_F(PosixSerialBackend, OpenSetsRaw8N1At38400AndKeepsUnrelatedSettings) {
    termios before = Settings();
    before.c_cflag |= HUPCL | CRTSCTS | PARENB | CSTOPB;
    before.c_iflag |= IXON | IXOFF | ICRNL;
    before.c_lflag |= ICANON | ECHO;
    before.c_cc[VKILL] = 0x11;
    ASSERT_EQ(::tcsetattr(keeper, TCSANOW, &before), 0);

    ASSERT_EQ(PTZ_DevOpenPath(path.c_str()), PTZ_OK);
    const termios after = Settings();
    EXPECT_EQ(after.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(::cfgetospeed(&after), speed_t{B38400});
    EXPECT_EQ(::cfgetispeed(&after), speed_t{B38400});
    // Settings the open has no business with are as they were.
    EXPECT_NE(after.c_cflag & HUPCL, 0u);
    EXPECT_EQ(after.c_cc[VKILL], 0x11);
}

TEST_F(PosixSerialBackend, WhatSetLineStateWritesReadsBack) {
    platform::SerialOs& os = platform::PlatformSerialOs();
    const platform::PortHandle port = os.Open(path.c_str());
    ASSERT_NE(port, platform::kInvalidPort);
    platform::LineState line{};
    ASSERT_TRUE(os.GetLineState(port, &line));
    line.BaudRate = 38400;
    line.fBinary = 1;
    // Every field away from the port logic's own values, so each mapping shows.
    line.ByteSize = 7;
    line.Parity = 2;  // even
    line.StopBits = 2;
    line.fParity = 1;
    line.fOutxCtsFlow = 1;
    line.fOutX = 1;
    line.fInX = 1;
    line.fRtsControl = 1;
    ASSERT_TRUE(os.SetLineState(port, line));
    // A pseudo-terminal always reads back 8 data bits without parity, so
    // ByteSize and Parity cannot be shown here; the rest can.
    const termios tio = Settings();
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(tio.c_iflag & INPCK, 0u);
    EXPECT_NE(tio.c_iflag & IXON, 0u);
    EXPECT_NE(tio.c_iflag & IXOFF, 0u);

    // The head's line has one speed; anything else is refused, not guessed.
    line.BaudRate = 9600;
    EXPECT_FALSE(os.SetLineState(port, line));
    EXPECT_EQ(os.LastError(), EINVAL);

    // A pseudo-terminal has no modem lines, so the level of DTR (and RTS)
    // cannot be read back here: both requests count as done on it. An
    // escape function the seam does not know is refused.
    EXPECT_TRUE(os.Escape(port, platform::kSetDtr));
    EXPECT_TRUE(os.Escape(port, platform::kClrDtr));
    EXPECT_FALSE(os.Escape(port, 99));
    EXPECT_EQ(os.LastError(), EINVAL);
    EXPECT_TRUE(os.Close(port));
}

}  // namespace
