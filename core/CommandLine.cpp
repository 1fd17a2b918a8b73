#include "core/CommandLine.h"

#include <string>

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
