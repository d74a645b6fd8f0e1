#include "native/frames.h"

#include <cstdio>

#include "protocol/command_table.h"
#include "protocol/frame.h"

namespace ptzd {

int32_t ExpectedLength(const std::vector<uint8_t>& f) {
    if (f.size() < 7 || f[0] != ptz::kStx || f[1] != ptz::kRequestMark || f.size() != size_t{7} + f[4] ||
        f[f.size() - 2] != ptz::kEtx)
        return -1;
    if (ptz::CalcBcc(static_cast<int32_t>(f.size() - 1), f.data()) != f.back()) return -1;
    const int32_t data = ptz::AnswerDataLength(f[3], std::span<const uint8_t>(f).subspan(5, f[4]));
    if (data < 0) return -1;
    const int32_t expected = ptz::LengthForAnswerData(data);
    return expected > ptz::kMaxExpectedLength ? -1 : expected;
}

std::string Describe(const std::vector<uint8_t>& frame) {
    std::string out;
    char hex[4];
    for (uint8_t b : frame) {
        std::snprintf(hex, sizeof hex, out.empty() ? "%02X" : " %02X", b);
        out += hex;
    }
    const std::string words = ptz::DescribeFrame(frame);
    return words.empty() ? out : out + "  " + words;
}

std::string CommandLabel(const std::vector<uint8_t>& frame) {
    const ptz::CommandInfo* c = frame.size() > 3 ? ptz::FindCommand(frame[3]) : nullptr;
    return c != nullptr ? c->name : "?";
}

}  // namespace ptzd
