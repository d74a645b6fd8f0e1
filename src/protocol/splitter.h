// Request frames out of a byte stream, for a gateway that reads its clients'
// frames from sockets; and bytes written as hex text.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ptz {

// The length of the request frame that starts at bytes[0] (byte 4 counts
// its data), once at least five bytes are known; 0 if not yet known.
size_t RequestFrameLength(std::span<const uint8_t> bytes);

// Cuts a byte stream into request frames: bytes before an STX are line
// noise and skipped; a frame is complete once its length byte's worth of
// data, ETX and BCC have arrived. At most one incomplete frame (256 bytes)
// is kept between feeds.
class FrameSplitter {
public:
    // Calls onFrame(const std::vector<uint8_t>&) for each whole frame, in
    // order, until it returns false (the rest of the bytes are dropped then).
    template <class F>
    void Feed(std::span<const uint8_t> bytes, F&& onFrame) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        std::vector<uint8_t> frame;
        while (Next(frame))
            if (!onFrame(frame)) {
                pending_.clear();
                return;
            }
    }
    // Bytes of an incomplete frame waiting for the rest.
    size_t Pending() const { return pending_.size(); }

private:
    // Takes the next whole frame out of the pending bytes.
    bool Next(std::vector<uint8_t>& frame);
    std::vector<uint8_t> pending_;
};

// "0A1B": two upper-case hex digits per byte, nothing between.
std::string HexText(std::span<const uint8_t> bytes);

}  // namespace ptz
