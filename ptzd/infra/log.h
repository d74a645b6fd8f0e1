// One line per event on stderr, journald-friendly: "<level> message".
#pragma once

#include <string>

namespace ptzd {

enum class Level { Error = 0, Warn = 1, Info = 2, Debug = 3 };

void SetLogLevel(Level level);
bool LogEnabled(Level level);
void Log(Level level, const std::string& message);

}  // namespace ptzd
