// The XML Schema types ONVIF's messages carry, one parser each: durations
// (timeouts, lease and dwell times, termination times), numbers (vectors,
// speeds, ranges) and UTC date-times (WS-Security's Created, termination
// times).
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <string_view>

namespace ptzd::onvif {

// A non-negative xs:duration of days, hours, minutes and seconds ("PT5S",
// "PT0.5S", "PT1M30S", "P1DT2H"), at most a day, to the millisecond (finer
// fractions are cut); false when it is anything else. Only the seconds may
// have a fraction; no sign, no years or months.
bool ParseDuration(std::string_view text, std::chrono::milliseconds& out);

// A number as an xs:float/xs:double attribute or element holds it: the whole
// text (surrounding XML white space aside) is one decimal number, finite and
// in range; no junk after it, no NaN, no infinity. False otherwise.
bool ParseNumber(std::string_view text, double& value);

// An xs:dateTime in UTC ("2026-12-08T20:00:00Z", "+00:00", fractions
// allowed), 1970 to 9999, into seconds since 1970 and the fraction's digits
// without trailing zeros.
bool ParseDateTime(const std::string& text, std::time_t& when, std::string* fraction = nullptr);

// A number as an xs:float text, to six significant digits ("0.5", "-180", "1e-07").
std::string FloatText(double v);

// xs:dateTime of a system time ("2026-12-09T03:00:00.123Z").
std::string DateTimeText(std::chrono::system_clock::time_point t);

}  // namespace ptzd::onvif
