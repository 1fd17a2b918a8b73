#include "core/PidFile.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/ReplaceFile.h"

unsigned long ReadPidFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return 0;
    char line[80] = {};
    bool ok = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!ok)
        return 0;
    long value = std::atol(line);
    return value > 0 ? static_cast<unsigned long>(value) : 0;
}

bool WritePidFile(const std::string& path, unsigned long pid) {
    // Replaced, not truncated: a second start never reads an empty or half-written number.
    if (ReplaceFileAtomically(path, std::to_string(pid)))
        return true;
    // A directory the server may not write can still hold a pid file it may.
    if (errno != EACCES && errno != EPERM)
        return false;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = std::fprintf(f, "%lu", pid) > 0 && !std::ferror(f);
    return std::fclose(f) == 0 && ok;
}

namespace {

std::string ExeOf(const std::string& procLink) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(procLink.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    return std::string(target, static_cast<size_t>(n));
}

}  // namespace

bool IsServerProcess(unsigned long pid) {
    if (pid == 0 || pid > static_cast<unsigned long>(INT_MAX))
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    std::string self = ExeOf("/proc/self/exe");
    std::string other = ExeOf("/proc/" + std::to_string(pid) + "/exe");
    return !self.empty() && self == other;
}
