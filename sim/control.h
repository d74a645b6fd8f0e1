// The simulator's control channel: a line of text per command, so a test
// running elsewhere (a Windows test program under Wine, say) can script the
// head it talks to.
//
//   reset                         fresh head: state, faults, rules, request log
//   rule CODE|* [close] [MS:HEX]...  answer CODE (or every code) with these chunks
//   faults [nak=N] [badack=1] [silent=1] [truncate=1] [delay=MS] [pieces=1]
//          [refuse=CODE] [badbcc=1] [shortrefuse=1]
//   requests                      the request log, one hex line each, then "end"
//   clear-requests
//   burns                         how many EEPROM burns the head has seen
//   drop                          close the link being served
// Every other answer is one line: "ok" or "error ...".
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "head.h"

namespace ptzsim {

std::string FormatRules(const std::vector<Rule>& rules);  // "rule ...\n" per rule
std::string FormatFaults(const Faults& faults);           // one "faults ..." line
std::string HexOf(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> BytesOf(const std::string& hex);

// Runs one control line against the head; `drop` closes the served link.
std::string RunControl(Head& head, const std::string& line, const std::function<void()>& drop);

}  // namespace ptzsim
