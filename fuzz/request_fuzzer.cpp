// Fuzzes the simulated head with request bytes of any length and content,
// cut into pieces as a line would deliver them: every frame found must get a
// well-formed answer (or a NAK), and nothing may crash or hang.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ptzsim::Head head;
    head.Reset();
    ptzsim::FrameSplitter splitter;
    size_t at = 0;
    while (at < size) {
        // The first byte of each piece says how long the piece is.
        const size_t piece = 1 + data[at] % 64;
        const size_t end = at + 1 + piece > size ? size : at + 1 + piece;
        // The trace decoder sees every piece as it arrives, whatever it holds.
        (void)ptzsim::DescribeFrame(std::span<const uint8_t>(data + at + 1, end - at - 1));
        splitter.Feed(std::span<const uint8_t>(data + at + 1, end - at - 1), [](const std::vector<uint8_t>& request) {
            (void)ptzsim::DescribeFrame(request);
            const ptzsim::Reply reply = head.Answer(request, true);
            for (const ptzsim::Chunk& chunk : reply.chunks) {
                const auto& f = chunk.bytes;
                (void)ptzsim::DescribeFrame(f);
                if (f.size() == 1 && f[0] == 0x15) continue;  // NAK for a malformed request
                if (f.size() < 8 || f[0] != 0x02 || f[1] != 0x40 || f[3] != request[3]) abort();
                if (f.size() != size_t{8} + f[5]) abort();
                uint8_t bcc = 0;
                for (size_t i = 0; i + 1 < f.size(); ++i) bcc ^= f[i];
                if (bcc != f.back()) abort();
            }
            return true;
        });
        at = end;
    }
    return 0;
}
