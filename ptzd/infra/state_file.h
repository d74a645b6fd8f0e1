// Small state files (preset names and the like) written so that a reader
// only ever finds the old contents or the new: a temporary file of its own
// in the same directory (created exclusively, never through a symbolic
// link), written whole, flushed to disk, renamed over the file, and the
// directory flushed too. Read back without following a symbolic link.
#pragma once

#include <string>

namespace ptzd {

// Replaces `path` with `data`; on failure the reason, and `path` is as it was.
std::string WriteStateFile(const std::string& path, const std::string& data);
// Reads `path` (at most `limit` bytes); false when it is missing, a link,
// not a regular file, larger than that, or unreadable.
bool ReadStateFile(const std::string& path, std::string& data, size_t limit = 1 << 20);

// What a state file held, for a store that reads one at start.
enum class StateRead { Missing, Read, Unreadable };
// Reads `path` like ReadStateFile; a file that is there but cannot be read
// (a link, not a regular file, too large, a read error) is set aside.
StateRead LoadStateFile(const std::string& path, std::string& data, size_t limit = 1 << 20);
// Moves `path` aside as PATH.bad-YYYYmmddTHHMMSS (a suffix -2, -3, ... when
// that name is taken; never over another file) and logs an error naming
// `why`: nothing a store could not read is overwritten by its next save.
// The new name, or "" (logged too) when it could not be moved.
std::string SetAsideStateFile(const std::string& path, const std::string& why);

}  // namespace ptzd
