#pragma once

#include <string>
#include <string_view>

// Replaces the file at `path` with `data` through a temporary file beside it, fsync and
// rename, so a crash leaves either the old or the whole new file. An existing file keeps
// its mode (and its owner, where the process may set it); a new one gets 0644. False when
// it cannot be written; nothing is left behind then.
bool ReplaceFileAtomically(const std::string& path, std::string_view data);
