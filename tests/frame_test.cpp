// Frames: BCC, request layout, 32-bit encoding and the response check.
#include <cstring>

#include "platform/serial_os.h"
#include "protocol/frame.h"
#include "support.h"

namespace {

using namespace ptztest;

TEST(Frame, BccIsXorOfEverythingIncludingStxAndEtx) {
    const auto frame = Hex("02 80 00 19 00 03");
    EXPECT_EQ(ptz::CalcBcc(6, frame.data()), 0x98);
    EXPECT_EQ(ptz::CalcBcc(0, frame.data()), 0);
    EXPECT_EQ(ptz::CalcBcc(-5, frame.data()), 0);
}

TEST(Frame, RequestIsBuiltAroundItsData) {
    uint8_t frame[256] = {};
    frame[5] = 0x03;
    frame[6] = 0x01;
    EXPECT_EQ(ptz::FinishRequest(frame, 0x91, 2), 9);
    EXPECT_EQ(ToHex({frame, frame + 9}), "02 80 00 91 02 03 01 03 10");
}

TEST(Frame, ThirtyTwoBitValuesTravelMostSignificantFirst) {
    struct Row {
        int32_t value;
        const char* bytes;
    } rows[] = {{-1, "FF FF FF FF"},           {300, "00 00 01 2C"},
                {-300, "FF FF FE D4"},         {INT32_MIN, "80 00 00 00"},
                {65536, "00 01 00 00"},        {INT32_MAX, "7F FF FF FF"}};
    for (const Row& row : rows) {
        uint8_t out[4];
        ptz::Put32(out, row.value);
        EXPECT_EQ(ToHex({out, out + 4}), row.bytes);
        EXPECT_EQ(ptz::Get32(Hex(row.bytes).data()), row.value);
    }
}

class ResponseCheck : public LibraryTest {
protected:
    // Judges `response` in a zero-filled buffer; the verdict goes to the
    // classic record, as the classic call frame records it.
    int32_t Check(const char* response, int32_t command, int32_t length) {
        uint8_t buffer[ptz::kBufferSize] = {};
        const auto bytes = Hex(response);
        std::memcpy(buffer, bytes.data(), bytes.size());
        ptz::Failure failure;
        const int32_t result = ptz::CheckResponse(buffer, command, length, failure);
        if (failure.failed) ptz::SetLastError(failure.kind, failure.code);
        return result;
    }
};

TEST_F(ResponseCheck, FirstFailingTestDecides) {
    struct Row {
        const char* response;
        int32_t command;
        int32_t code;  // 0: accepted
    } rows[] = {
        {"02 40 00 19 00 00 03 58", 0x19, 0},
        {"02 40 00 19 01 00 03 59", 0x19, PTZ_ERR_RESP_STATUS},
        {"02 41 00 18 00 00 03 58", 0x19, PTZ_ERR_RESP_MARK},     // mark and command wrong
        {"02 40 00 18 00 00 03 58", 0x19, PTZ_ERR_RESP_COMMAND},
        {"02 40 00 19 01 00 03 00", 0x19, PTZ_ERR_RESP_STATUS},   // refusal and bad BCC
        {"02 40 00 19 00 00 03 57", 0x19, PTZ_ERR_RESP_BCC},
        {"02 40 7E 19 00 55 77 58", 0x19, PTZ_ERR_RESP_BCC},      // bytes 2, 5, ETX feed the BCC...
        {"02 40 7E 19 00 55 77 07", 0x19, 0},                     // ...but are never examined
        {"02 40 00 19 00 00 03 58", 0x119, 0},                    // command compared by low 8 bits
        {"15", 0x19, PTZ_ERR_RESP_MARK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.response);
        ptz::SetLastError(7, 7);
        const int32_t result = Check(row.response, row.command, 7);
        EXPECT_EQ(result, row.code == 0 ? 0 : 1);
        EXPECT_EQ(LastError(), (row.code == 0 ? ErrorRecord{7, 7} : ErrorRecord{PTZ_ERRKIND_RESPONSE, row.code}));
    }
}

TEST_F(ResponseCheck, BccIsLookedForAtTheExpectedLength) {
    EXPECT_EQ(Check("02 40 00 85 00 01 C8 03 0D", 0x85, 8), 0);
    EXPECT_EQ(Check("02 40 00 85 00 01 C8 03 0D", 0x85, 7), 1);
    EXPECT_EQ(LastError(), (ErrorRecord{PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_BCC}));
}

TEST(ErrorText, ExplainsEveryCodeAndTruncatesSafely) {
    char text[128];
    EXPECT_EQ(PTZ_GetErrorText(PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT, text, sizeof text), PTZ_OK);
    EXPECT_NE(std::strstr(text, "in time"), nullptr);
    EXPECT_EQ(PTZ_GetErrorText(5, 4242, text, sizeof text), PTZ_OK);
    EXPECT_NE(std::strstr(text, "4242"), nullptr);
    EXPECT_EQ(PTZ_GetErrorText(PTZ_ERRKIND_OS, 2, text, sizeof text), PTZ_OK);
    EXPECT_NE(std::strstr(text, "error 2"), nullptr);

    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(PTZ_GetErrorText(PTZ_ERRKIND_RESPONSE, PTZ_ERR_RESP_BCC, small, 5), PTZ_OK);
    EXPECT_EQ(std::strlen(small), 4u);
    EXPECT_EQ(small[5], 'x');
    EXPECT_EQ(PTZ_GetErrorText(0, 0, nullptr, 5), PTZ_BAD_PARAM);
    EXPECT_EQ(PTZ_GetErrorText(0, 0, small, 0), PTZ_BAD_PARAM);

    // One byte holds the terminator only: an empty text, and a success.
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(PTZ_GetErrorText(PTZ_ERRKIND_LINK, PTZ_ERR_NAK, small, 1), PTZ_OK);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], 'x');

    EXPECT_EQ(PTZ_GetErrorText(0, 0, text, sizeof text), PTZ_OK);
    EXPECT_STREQ(text, "no failure recorded");
}

TEST(ErrorText, OsErrorsCarryTheSystemsOwnMessage) {
    char system[256] = "";
    ptz::platform::SystemErrorText(2, system, sizeof system);
    ASSERT_GT(std::strlen(system), 3u);
    char text[400];
    EXPECT_EQ(PTZ_GetErrorText(PTZ_ERRKIND_OS, 2, text, sizeof text), PTZ_OK);
    EXPECT_NE(std::strstr(text, system), nullptr) << text;
}

}  // namespace
