#include "base/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/UniqueFd.h"

namespace {

std::atomic<unsigned> g_tempCounter{0};

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view data) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "-" +
               std::to_string(g_tempCounter.fetch_add(1));
        // 0666 under the umask: a service's UMask decides who reads a new file.
        fd = UniqueFd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST)
            return false;
    }
    if (!fd)
        return false;
    // Owner first: a change of owner may clear set-id bits that the mode then restores.
    bool ok = !exists || ::fchown(fd.get(), st.st_uid, st.st_gid) == 0 || errno == EPERM;
    ok = ok && (!exists || ::fchmod(fd.get(), st.st_mode & 07777) == 0);
    ok = ok && WriteAll(fd.get(), data) && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int cause = errno;
        ::unlink(temp.c_str());
        errno = cause;
        return false;
    }
    // Without this the rename may still be only in memory when the power goes, and the old
    // file (or none) comes back. The new file is in place either way: a directory that cannot
    // be synced (some file systems refuse) does not make the replacement a failure.
    UniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
    return true;
}
