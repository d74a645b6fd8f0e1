#include "protocol/command_table.h"

#include <cstdio>

#include "protocol/frame.h"

namespace ptz {

int32_t AnswerDataLength(uint8_t code, std::span<const uint8_t> requestData) {
    const CommandInfo* c = FindCommand(code);
    if (c == nullptr) return -1;
    if (!c->answerCounted) return c->answerData;
    return requestData.size() >= 3 ? requestData[2] : 0;
}

bool RequestDataFits(const CommandInfo& command, std::span<const uint8_t> requestData) {
    if (!command.requestCounted) return requestData.size() == command.requestData;
    return requestData.size() >= 3 && requestData.size() == size_t{command.requestData} + requestData[2];
}

namespace {

// " name=value" for each field that the data holds whole.
std::string Fields(std::span<const Field> fields, std::span<const uint8_t> data) {
    std::string out;
    size_t at = 0;
    for (const Field& f : fields) {
        if (f.type == FieldType::None) break;
        const size_t size = f.type == FieldType::U8 ? 1 : f.type == FieldType::Hex16 ? 2 : 4;
        if (data.size() < at + size) break;
        const uint8_t* d = data.data() + at;
        char text[48];
        if (f.type == FieldType::U8) std::snprintf(text, sizeof text, " %s=%u", f.name, d[0]);
        else if (f.type == FieldType::Hex16) std::snprintf(text, sizeof text, " %s=0x%04X", f.name, (d[0] << 8) | d[1]);
        else std::snprintf(text, sizeof text, " %s=%d", f.name, Get32(d));
        out += text;
        at += size;
    }
    return out;
}

}  // namespace

std::string DescribeFrame(std::span<const uint8_t> f) {
    if (f.size() < static_cast<size_t>(kRequestOverhead) || f[0] != kStx) return {};
    const bool request = f[1] == kRequestMark;
    const CommandInfo* c = FindCommand(f[3]);
    std::string out = c != nullptr ? c->name : "?";
    const size_t dataAt = request ? kRequestDataIndex : kResponseDataIndex;
    // A chunk too short for its header, ETX and BCC has no data to describe.
    const std::span<const uint8_t> data =
        f.size() >= dataAt + 2 ? f.subspan(dataAt, f.size() - dataAt - 2) : std::span<const uint8_t>();
    if (c == nullptr) return out;
    if (request) return out + Fields(c->request, data);
    if (f[4] != 0) return out + " refused, status " + std::to_string(f[4]);
    if (c->answer[0].type == FieldType::None)
        return out + (data.empty() ? " ok" : " ok " + std::to_string(data.size()) + " bytes");
    return out + " ok" + Fields(c->answer, data);
}

}  // namespace ptz
