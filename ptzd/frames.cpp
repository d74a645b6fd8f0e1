#include "frames.h"

#include <cstdio>
#include <cstring>

#include "head_model.h"

namespace ptzd {

int32_t ExpectedLength(const std::vector<uint8_t>& f) {
    if (f.size() < 7 || f[0] != 0x02 || f[1] != 0x80 || f.size() != size_t{7} + f[4] || f[f.size() - 2] != 0x03)
        return -1;
    uint8_t bcc = 0;
    for (size_t i = 0; i + 1 < f.size(); ++i) bcc ^= f[i];
    if (bcc != f.back()) return -1;
    if (std::strcmp(ptzsim::CommandName(f[3]), "?") == 0) return -1;
    const size_t data = ptzsim::ResponseDataLength(f[3], std::span<const uint8_t>(f).subspan(5, f[4]));
    const size_t expected = data + 7;
    return expected > 255 ? -1 : static_cast<int32_t>(expected);
}

std::string Describe(const std::vector<uint8_t>& frame) {
    std::string out;
    char hex[4];
    for (uint8_t b : frame) {
        std::snprintf(hex, sizeof hex, out.empty() ? "%02X" : " %02X", b);
        out += hex;
    }
    const std::string words = ptzsim::DescribeFrame(frame);
    return words.empty() ? out : out + "  " + words;
}

std::string CommandLabel(const std::vector<uint8_t>& frame) {
    return frame.size() > 3 ? ptzsim::CommandName(frame[3]) : "?";
}

}  // namespace ptzd
