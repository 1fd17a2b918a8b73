#pragma once

#include <string>

// The program directory: argv[0] up to its last '/', or the current directory when
// argv[0] holds none. Configuration, hardware description, log and pid file live there.
std::string ProgramDirectory(const char* argv0);

// `dir` + "/" + `name`.
std::string JoinPath(const std::string& dir, const std::string& name);
