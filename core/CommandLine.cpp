#include "core/CommandLine.h"

#include <string>
#include <string_view>

const char kServerUsage[] =
    "usage: lumerix2 [/a | /q]\n"
    "       lumerix2 --help | --version\n"
    "Frame server for one camera; its files live in the directory of the program path.\n"
    "  (no switch)  start the server; if one already runs here, do nothing\n"
    "  /a           start the server and begin grabbing 2 s after a clean start;\n"
    "               if one already runs here, ask it to start grabbing\n"
    "  /q           if a server already runs here, ask it to quit\n"
    "The switch is the letter after the first '/' in the arguments, in either case.\n";

char SwitchLetter(int argc, const char* const* argv) {
    // Joined with blanks as a command line would be, so "/" at the end of one argument
    // takes the blank before the next as its letter, which has no meaning.
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += ' ';
        line += argv[i];
    }
    size_t slash = line.find('/');
    if (slash == std::string::npos || slash + 1 >= line.size())
        return 0;
    return line[slash + 1];
}

LongOption FindLongOption(int argc, const char* const* argv, const char** unknown) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.starts_with("--"))
            continue;
        if (arg == "--help")
            return LongOption::kHelp;
        if (arg == "--version")
            return LongOption::kVersion;
        if (unknown != nullptr)
            *unknown = argv[i];
        return LongOption::kUnknown;
    }
    return LongOption::kNone;
}
