#pragma once

// The switch letter of a command line: the character right after the first '/' in the
// arguments after the program path, or 0 when there is none. The program path itself
// always holds '/' here, so it is not searched.
char SwitchLetter(int argc, const char* const* argv);
