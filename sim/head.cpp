#include "head.h"

#include <chrono>
#include <ctime>

namespace ptzsim {

namespace {

std::tm LocalTime(std::time_t t) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    return local;
}

}  // namespace

void Head::SetFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    model_.refuseCode = faults.refuseCode;
}

void Head::SetRules(std::vector<Rule> rules) {
    std::lock_guard lock(mutex_);
    rules_ = std::move(rules);
}

void Head::AddRule(Rule rule) {
    std::lock_guard lock(mutex_);
    rules_.push_back(std::move(rule));
}

void Head::SetResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void Head::Reset() {
    std::lock_guard lock(mutex_);
    const bool motion = model_.motion;
    model_ = HeadModel(eepromFile_);
    model_.motion = motion;
    faults_ = {};
    rules_.clear();
    responder_ = nullptr;
    requests_.clear();
}

void Head::SetTrace(std::FILE* out) {
    std::lock_guard lock(mutex_);
    trace_ = out;
}

std::vector<std::vector<uint8_t>> Head::Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

void Head::ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void Head::Trace(const char* direction, std::span<const uint8_t> bytes) {
    if (trace_ == nullptr || bytes.empty()) return;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm local = LocalTime(seconds);
    std::fprintf(trace_, "%02d:%02d:%02d.%03d %s", local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis),
                 direction);
    for (uint8_t b : bytes) std::fprintf(trace_, " %02X", b);
    const std::string words = DescribeFrame(bytes);
    if (!words.empty()) std::fprintf(trace_, "  %s", words.c_str());
    else if (bytes.size() == 1 && bytes[0] == 0x15) std::fprintf(trace_, "  NAK");
    std::fprintf(trace_, "\n");
    std::fflush(trace_);
}

void Head::NoteReplySent() {
    std::lock_guard lock(mutex_);
    ++repliesSent_;
}

unsigned Head::RepliesSent() {
    std::lock_guard lock(mutex_);
    return repliesSent_;
}

void Head::TraceOut(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    Trace("<-", bytes);
}

Reply Head::Answer(std::span<const uint8_t> request, bool serial) {
    std::lock_guard lock(mutex_);
    requests_.emplace_back(request.begin(), request.end());
    Trace("->", request);
    if (responder_) {
        if (std::optional<Reply> reply = responder_(request)) return *reply;
    }
    const int code = request.size() > 3 ? request[3] : -2;
    for (const Rule& rule : rules_)
        if (rule.code == -1 || rule.code == code) return rule.reply;
    if (faults_.silent) return {};
    if (faults_.nak > 0) {
        --faults_.nak;
        return {{{faults_.delayMs, {0x15}}}};
    }
    if (faults_.badAck) return {{{faults_.delayMs, {0x06}}}};
    std::vector<uint8_t> frame = model_.Answer(request);
    if (frame.empty()) return serial ? Reply{{{0, {0x15}}}} : Reply{};
    if (faults_.shortRefusal && frame[4] != 0) frame = ResponseFrame(frame[3], frame[4], {});
    if (faults_.badBcc) frame.back() ^= 0xFF;
    if (faults_.truncate) frame.pop_back();
    Reply reply;
    if (faults_.pieces && frame.size() >= 3) {
        const size_t third = frame.size() / 3;
        reply.chunks.push_back({faults_.delayMs, {frame.begin(), frame.begin() + third}});
        reply.chunks.push_back({20, {frame.begin() + third, frame.begin() + 2 * third}});
        reply.chunks.push_back({20, {frame.begin() + 2 * third, frame.end()}});
    } else {
        reply.chunks.push_back({faults_.delayMs, std::move(frame)});
    }
    return reply;
}

}  // namespace ptzsim
