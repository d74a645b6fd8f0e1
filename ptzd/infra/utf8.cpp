#include "infra/utf8.h"

#include <cstdint>

namespace ptzd {

bool ValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        // The length of the sequence and the range its second byte may take
        // (narrowed where overlong forms, surrogates or > U+10FFFF would start).
        size_t length = 0;
        uint8_t low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) length = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        const auto second = static_cast<uint8_t>(text[i + 1]);
        if (second < low || second > high) return false;
        for (size_t k = 2; k < length; ++k)
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

}  // namespace ptzd
