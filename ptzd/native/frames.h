// What the gateway needs to know of a client's request frame: whether it is
// well formed, and how long the head's answer to it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ptzd {

// L (the index of the answer's BCC) for a well-formed request of a known
// command; -1 for a malformed frame (mark, ETX, BCC) or an unknown command.
int32_t ExpectedLength(const std::vector<uint8_t>& frame);
// The frame's bytes and its meaning, for --verbose traces.
std::string Describe(const std::vector<uint8_t>& frame);
// The command's name ("GetPTPos").
std::string CommandLabel(const std::vector<uint8_t>& frame);

}  // namespace ptzd
