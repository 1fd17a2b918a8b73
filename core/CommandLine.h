#pragma once

// The switch letter of a command line: the character right after the first '/' in the
// arguments after the program path, or 0 when there is none. The program path itself
// always holds '/' here, so it is not searched.
char SwitchLetter(int argc, const char* const* argv);

// What the long options ask for. Only arguments that begin with "--" are options: a single
// '-' keeps its old meaning (none), so the switch parsing above is untouched. The first
// option decides.
enum class LongOption { kNone, kHelp, kVersion, kUnknown };
LongOption FindLongOption(int argc, const char* const* argv, const char** unknown);

// The usage text of the server, ending in a line break.
extern const char kServerUsage[];
