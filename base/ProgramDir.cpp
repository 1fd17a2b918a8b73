#include "base/ProgramDir.h"

#include <unistd.h>

#include <climits>

std::string ProgramDirectory(const char* argv0) {
    std::string path = argv0 ? argv0 : "";
    size_t slash = path.rfind('/');
    if (slash != std::string::npos)
        return slash == 0 ? std::string("/") : path.substr(0, slash);
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        return ".";
    return cwd;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    if (dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}
