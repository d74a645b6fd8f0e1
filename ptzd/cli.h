// ptzd's command line: the arguments into a configuration to run (the file's,
// or a single head's from options, with the overrides applied and the whole
// checked again), or an exit with what to print.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"

namespace ptzd {

struct CommandLine {
    bool run = false;     // false: exit with `exitCode` after printing
    int exitCode = 0;
    std::string out;      // for stdout (usage, "configuration is valid")
    std::string err;      // for stderr, one line per problem
    bool verbose = false;
    Config config;        // when run: loaded, overridden and checked
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace ptzd
