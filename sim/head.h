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

// A fixed answer to requests with one command code (-1: every code). The
// first rule that matches a request answers it.
struct Rule {
    int code = -1;
    Reply reply;
};

struct Faults {
    int nak = 0;            // answer NAK (0x15) to the next n requests
    bool badAck = false;    // answer 0x06 instead of a response
    bool silent = false;    // never answer
    bool truncate = false;  // leave off the last byte of every response
    int delayMs = 0;        // answer this late
    bool pieces = false;    // send every response in three pieces, 20 ms apart
    int refuseCode = -1;    // refuse this command code with status 1
    bool badBcc = false;    // corrupt the block check byte of every response
    bool shortRefusal = false;  // refuse with a bare frame: no data bytes
};

// In-process scripting: the reply to a request, or nothing to let the rules,
// faults and model answer. Runs with the head locked.
using Responder = std::function<std::optional<Reply>(std::span<const uint8_t> request)>;

class Head {
public:
    explicit Head(std::string eepromFile = {}) : eepromFile_(eepromFile), model_(std::move(eepromFile)) {}

    // The reply to one request; `serial` selects the serial protocol, where a
    // malformed request is answered with NAK.
    Reply Answer(std::span<const uint8_t> request, bool serial);

    void SetFaults(const Faults& faults);
    void SetRules(std::vector<Rule> rules);
    void AddRule(Rule rule);
    void SetResponder(Responder responder);
    // Back to a fresh head: new model state, no faults, no rules, no requests.
    void Reset();
    void SetTrace(std::FILE* out);
    // Writes one trace line for bytes leaving the head.
    void TraceOut(std::span<const uint8_t> bytes);

    std::vector<std::vector<uint8_t>> Requests();
    void ClearRequests();
    // Replies written out whole (counted after their last byte has been
    // handed to the transport), so a test can wait for a late answer.
    void NoteReplySent();
    unsigned RepliesSent();
    // Runs `f` on the model with the head locked.
    template <class F>
    auto WithModel(F f) {
        std::lock_guard lock(mutex_);
        return f(model_);
    }

private:
    void Trace(const char* direction, std::span<const uint8_t> bytes);

    std::mutex mutex_;
    std::string eepromFile_;
    HeadModel model_;
    Faults faults_;
    std::vector<Rule> rules_;
    Responder responder_;
    std::FILE* trace_ = nullptr;
    std::vector<std::vector<uint8_t>> requests_;
    unsigned repliesSent_ = 0;
};

}  // namespace ptzsim
