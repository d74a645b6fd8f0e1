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

}  // namespace ptzd
