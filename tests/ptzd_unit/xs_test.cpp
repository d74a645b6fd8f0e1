// The XML Schema parsers of the ONVIF front end, one table each. The
// duration rows include those where the two parsers this one replaced
// disagreed (leading zeros past six digits, fractions past nine).
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "onvif/xs.h"

namespace {

using ptzd::onvif::ParseDateTime;
using ptzd::onvif::ParseDuration;
using ptzd::onvif::ParseNumber;

TEST(Xs, Durations) {
    const struct {
        const char* text;
        std::optional<long long> ms;
    } rows[] = {
        {"PT5S", 5000}, {"PT0.5S", 500}, {"PT1M30S", 90000}, {"P1DT0H", 86400000}, {"P1D", 86400000},
        {" PT10S\n", 10000}, {"PT0S", 0}, {"P0D", 0}, {"PT1H", 3600000}, {"PT0.1234S", 123},
        {"PT0000005S", 5000},                  // seven digits, leading zeros
        {"PT1.0000000001S", 1000},             // ten digits of fraction
        {"PT86400S", 86400000}, {"PT86400.001S", std::nullopt},  // at most a day
        {"P2D", std::nullopt}, {"PT", std::nullopt}, {"P", std::nullopt}, {"P1DT", std::nullopt},
        {"", std::nullopt}, {"5S", std::nullopt}, {"PT-5S", std::nullopt}, {"-PT5S", std::nullopt},
        {"PT+5S", std::nullopt}, {"PT5.S", std::nullopt}, {"PT.5S", std::nullopt}, {"PT1.5M", std::nullopt},
        {"PT1S1M", std::nullopt}, {"PT1H1H", std::nullopt}, {"P1H", std::nullopt}, {"PT1D", std::nullopt},
        {"P1Y", std::nullopt}, {"P1M", std::nullopt}, {"pt5s", std::nullopt}, {"PT5s", std::nullopt},
        {"PT5 S", std::nullopt}, {"PT5S junk", std::nullopt}, {"PT99999999999999999999S", std::nullopt},
        {"PTT5S", std::nullopt},
    };
    for (const auto& row : rows) {
        std::chrono::milliseconds out{-1};
        const bool ok = ParseDuration(row.text, out);
        EXPECT_EQ(ok, row.ms.has_value()) << '"' << row.text << '"';
        if (ok && row.ms) {
            EXPECT_EQ(out.count(), *row.ms) << '"' << row.text << '"';
        }
        if (!ok) {
            EXPECT_EQ(out.count(), -1) << "a refused duration left its output alone";
        }
    }
}

TEST(Xs, Numbers) {
    const struct {
        const char* text;
        std::optional<double> value;
    } rows[] = {
        {"0.5", 0.5}, {"-1", -1}, {"+1", 1}, {"1e-3", 0.001}, {" 2 ", 2}, {"1E2", 100}, {".5", 0.5},
        {"", std::nullopt}, {"+", std::nullopt}, {"++1", std::nullopt}, {"+-1", std::nullopt}, {"1 2", std::nullopt},
        {"NaN", std::nullopt}, {"INF", std::nullopt}, {"inf", std::nullopt}, {"1e999", std::nullopt},
        {"0x10", std::nullopt}, {"1,5", std::nullopt}, {"1.5x", std::nullopt},
    };
    for (const auto& row : rows) {
        double out = -42;
        const bool ok = ParseNumber(row.text, out);
        EXPECT_EQ(ok, row.value.has_value()) << '"' << row.text << '"';
        if (ok && row.value) {
            EXPECT_DOUBLE_EQ(out, *row.value) << '"' << row.text << '"';
        }
    }
}

TEST(Xs, DateTimes) {
    const struct {
        const char* text;
        std::optional<long long> seconds;
        const char* fraction;
    } rows[] = {
        {"1970-01-01T00:00:00Z", 0, ""},
        {"2026-12-08T20:00:00Z", 1796760000, ""},
        {"2026-12-08T20:00:00.120Z", 1796760000, "12"},
        {"2026-12-08T20:00:00+00:00", 1796760000, ""},
        {"2026-12-08T20:00:00-00:00", 1796760000, ""},
        {"2026-12-08T20:00:00", std::nullopt, ""},        // no zone
        {"2026-12-08T20:00:00+01:00", std::nullopt, ""},  // UTC only
        {"2026-12-08T20:00:00.Z", std::nullopt, ""},
        {"2026-12-08 20:00:00Z", std::nullopt, ""},
        {"26-12-08T20:00:00Z", std::nullopt, ""},
        {"1969-12-31T23:59:59Z", std::nullopt, ""},
        {"2026-13-08T20:00:00Z", std::nullopt, ""},
        {"", std::nullopt, ""},
    };
    for (const auto& row : rows) {
        std::time_t when = -1;
        std::string fraction = "untouched";
        const bool ok = ParseDateTime(row.text, when, &fraction);
        EXPECT_EQ(ok, row.seconds.has_value()) << '"' << row.text << '"';
        if (ok && row.seconds) {
            EXPECT_EQ(static_cast<long long>(when), *row.seconds) << row.text;
            EXPECT_EQ(fraction, row.fraction) << row.text;
        }
    }
}

}  // namespace
