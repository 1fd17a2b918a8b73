#pragma once

#include <string>
#include <string_view>

// Replaces the file at `path` with `data` so that a crash or a power cut leaves either the
// old or the whole new file, never an empty or partial one: a temporary file beside it
// (named `path` + ".tmp" and a unique suffix), fsync, rename over `path`, fsync of the
// directory that holds the rename. An existing file keeps its mode (and its owner, where the
// process may set it); a new one gets 0666 less the umask. False when it cannot be
// written, with errno telling why (EACCES or EPERM: the directory may not be written);
// nothing is left behind then.
bool ReplaceFileAtomically(const std::string& path, std::string_view data);

// Writes all of `data` to `fd`, going on after interrupted and partial writes; false on an
// error (errno says which).
bool WriteAll(int fd, std::string_view data);
