#pragma once

#include <string>

// "Lumerix2.pid" in the program directory holds the running server's process id.
constexpr const char* kPidFileName = "Lumerix2.pid";

// The leading decimal number of the file's first line; 0 when the file is missing,
// empty or unreadable.
unsigned long ReadPidFile(const std::string& path);

// Creates or replaces the file with `pid` in decimal, no line end.
bool WritePidFile(const std::string& path, unsigned long pid);

// True when `pid` is a live process running the same executable as this process, so a
// recycled pid of another program is never taken for a server.
bool IsServerProcess(unsigned long pid);
