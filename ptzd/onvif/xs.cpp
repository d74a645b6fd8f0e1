#include "onvif/xs.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <system_error>

#include "onvif/soap.h"

namespace ptzd::onvif {

bool ParseDuration(std::string_view text, std::chrono::milliseconds& out) {
    text = Collapsed(text);
    if (text.empty() || text.front() != 'P') return false;
    text.remove_prefix(1);
    static constexpr struct {
        char unit;
        bool timePart;
        int64_t ms;
    } kUnits[] = {{'D', false, 86400000}, {'H', true, 3600000}, {'M', true, 60000}, {'S', true, 1000}};
    int64_t total = 0;
    bool inTime = false, any = false;
    size_t next = 0;  // units must come in order
    while (!text.empty()) {
        if (text.front() == 'T') {
            if (inTime) return false;
            inTime = true;
            text.remove_prefix(1);
            if (text.empty()) return false;  // "PT" alone
            continue;
        }
        int64_t whole = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), whole);
        if (error != std::errc() || whole < 0 || whole > 1000000 || text.front() == '-' || text.front() == '+') return false;
        size_t used = static_cast<size_t>(end - text.data());
        int64_t fractionMs = 0;
        bool fraction = false;
        if (used < text.size() && text[used] == '.') {
            fraction = true;
            size_t digits = 0;
            for (++used; used < text.size() && text[used] >= '0' && text[used] <= '9'; ++used, ++digits)
                if (digits < 3) fractionMs = fractionMs * 10 + (text[used] - '0');
            if (digits == 0) return false;
            for (; digits < 3; ++digits) fractionMs *= 10;
        }
        if (used >= text.size()) return false;
        const char unit = text[used];
        size_t u = next;
        while (u < std::size(kUnits) && kUnits[u].unit != unit) ++u;
        if (u == std::size(kUnits) || kUnits[u].timePart != inTime || (fraction && unit != 'S')) return false;
        total += whole * kUnits[u].ms + fractionMs;
        next = u + 1;
        any = true;
        text.remove_prefix(used + 1);
    }
    if (!any || total > 86400000) return false;
    out = std::chrono::milliseconds(total);
    return true;
}

bool ParseNumber(std::string_view text, double& value) {
    text = Collapsed(text);
    if (text.empty()) return false;
    if (text.front() == '+') {  // allowed by the XML number types, not by from_chars
        text.remove_prefix(1);
        if (text.empty() || text.front() == '+' || text.front() == '-') return false;
    }
    double v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool ParseDateTime(const std::string& text, std::time_t& when, std::string* fraction) {
    // The shape first ("YYYY-MM-DDTHH:MM:SS"), then strptime for the fields.
    static constexpr const char* kShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < std::strlen(kShape)) return false;
    for (size_t i = 0; kShape[i] != '\0'; ++i)
        if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return false;
    std::tm t{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &t);
    if (end == nullptr || end != text.c_str() + std::strlen(kShape)) return false;
    std::string digits;
    if (*end == '.') {
        for (++end; *end >= '0' && *end <= '9'; ++end) digits += *end;
        if (digits.empty()) return false;
    }
    if (std::strcmp(end, "Z") != 0 && std::strcmp(end, "+00:00") != 0 && std::strcmp(end, "-00:00") != 0) return false;
    if (t.tm_year < 70 || t.tm_year > 8099) return false;  // 1970 to 9999
    when = timegm(&t);
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    if (fraction) *fraction = digits;
    return true;
}

std::string DateTimeText(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[48];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms < 0 ? 0 : ms));
    return text;
}

std::string FloatText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

}  // namespace ptzd::onvif
