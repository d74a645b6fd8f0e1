// A simulated head as its links see it: the model, the faults a user or test
// asks for, an optional script, and a log of the requests it received.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "head_model.h"

namespace ptzsim {

// Bytes to send after a pause.
struct Chunk {
    int delayMs = 0;
    std::vector<uint8_t> bytes;
};

// What the head does about one request: send these chunks in order, then
// optionally close the connection. No chunks: stay silent.
struct Reply {
    std::vector<Chunk> chunks;
    bool close = false;
};

struct Faults {
    int nak = 0;            // answer NAK (0x15) to the next n requests
    bool badAck = false;    // answer 0x06 instead of a response
    bool silent = false;    // never answer
    bool truncate = false;  // leave off the last byte of every response
    int delayMs = 0;        // answer this late
    bool pieces = false;    // send every response in three pieces, 20 ms apart
    int refuseCode = -1;    // refuse this command code with status 1
};

// Returns the reply to a request, or nothing to let the head answer.
using Script = std::function<std::optional<Reply>(std::span<const uint8_t> request)>;

class Head {
public:
    explicit Head(std::string eepromFile = {}) : model_(std::move(eepromFile)) {}

    // The reply to one request; `serial` selects the serial protocol, where a
    // malformed request is answered with NAK.
    Reply Answer(std::span<const uint8_t> request, bool serial);

    void SetFaults(const Faults& faults);
    void SetScript(Script script);
    void SetTrace(std::FILE* out);
    // Writes one trace line for bytes leaving the head.
    void TraceOut(std::span<const uint8_t> bytes);

    std::vector<std::vector<uint8_t>> Requests();
    void ClearRequests();
    // Runs `f` on the model with the head locked.
    template <class F>
    auto WithModel(F f) {
        std::lock_guard lock(mutex_);
        return f(model_);
    }

private:
    void Trace(const char* direction, std::span<const uint8_t> bytes);

    std::mutex mutex_;
    HeadModel model_;
    Faults faults_;
    Script script_;
    std::FILE* trace_ = nullptr;
    std::vector<std::vector<uint8_t>> requests_;
};

}  // namespace ptzsim
