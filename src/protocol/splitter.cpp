#include "protocol/splitter.h"

#include "protocol/frame.h"

namespace ptz {

size_t RequestFrameLength(std::span<const uint8_t> bytes) {
    if (bytes.size() < 5) return 0;
    return size_t{bytes[4]} + kRequestOverhead;
}

bool FrameSplitter::Next(std::vector<uint8_t>& frame) {
    size_t skip = 0;
    while (skip < pending_.size() && pending_[skip] != kStx) ++skip;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(skip));
    const size_t length = RequestFrameLength(pending_);
    if (length == 0 || pending_.size() < length) return false;
    frame.assign(pending_.begin(), pending_.begin() + static_cast<long>(length));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
    return true;
}

std::string HexText(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace ptz
