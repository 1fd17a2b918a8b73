#include "base/ReplaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/UniqueFd.h"

bool ReplaceFileAtomically(const std::string& path, std::string_view data) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(::mkstemp(temp.data()));
    if (!fd)
        return false;
    // Owner first: a change of owner may clear set-id bits that the mode then restores.
    bool ok = !exists || ::fchown(fd.get(), st.st_uid, st.st_gid) == 0 || errno == EPERM;
    ok = ok && ::fchmod(fd.get(), exists ? (st.st_mode & 07777) : 0644) == 0;
    for (size_t done = 0; ok && done < data.size();) {
        ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd.get()) == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}
