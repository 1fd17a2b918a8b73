#include <malloc.h>

#include <cstdio>

#include "app/ServerApp.h"
#include "base/Version.h"
#include "core/CommandLine.h"

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer, so the hand-offs inside its own worker pool (the
// window's image work on "Thread (pooled)") look like races on memory that Qt alone
// touches. Only frames entirely inside the Qt libraries are silenced; a race that reaches
// our code through any other frame is still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Gui.so.6\n"
           "race:libQt6Core.so.6\n";
}
#endif

int main(int argc, char** argv) {
    // Answered before anything else: no log line, no pid file, no hand-over.
    const char* unknown = nullptr;
    switch (FindLongOption(argc, argv, &unknown)) {
        case LongOption::kHelp:
            std::fputs(kServerUsage, stdout);
            return 0;
        case LongOption::kVersion:
            std::printf("lumerix2 %s\n", kLumerixVersion);
            return 0;
        case LongOption::kUnknown:
            std::fprintf(stderr, "lumerix2: unknown option %s\n%s", unknown, kServerUsage);
            return 2;
        case LongOption::kNone:
            break;
    }
    // Blocks of a quarter megabyte and more (frames, the replies that carry them) are mapped
    // on their own and go back to the system when freed. Left to the heap's own threshold,
    // which rises with the first such block freed, they stay in its arenas, and the process's
    // memory steps up after every moment with many of them in flight (a starved server).
    // Few arenas, for the same reason: each keeps its own free pages.
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    ::mallopt(M_ARENA_MAX, 4);
    CServerApp app(argc, argv);
    return app.Run();
}
