#include "infra/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace ptzd {

namespace {
std::atomic<int> threshold{static_cast<int>(Level::Info)};
std::mutex out;
}  // namespace

void SetLogLevel(Level level) { threshold = static_cast<int>(level); }
bool LogEnabled(Level level) { return static_cast<int>(level) <= threshold.load(); }

void Log(Level level, const std::string& message) {
    if (!LogEnabled(level)) return;
    // The syslog priority prefix lets journald file each line at its level.
    static const char* prefixes[] = {"<3>error: ", "<4>warning: ", "<6>", "<7>"};
    std::lock_guard lock(out);
    std::fprintf(stderr, "%s%s\n", prefixes[static_cast<int>(level)], message.c_str());
    std::fflush(stderr);
}

}  // namespace ptzd
