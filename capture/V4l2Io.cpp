#include "capture/V4l2Io.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

std::vector<std::string> ListDirectory(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr)
        return {};
    return buffer;
}

class CSystemV4l2Io : public IV4l2Io {
  public:
    int Open(const char* path, int flags) override { return ::open(path, flags); }
    int Close(int fd) override { return ::close(fd); }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        return ::ioctl(fd, request, arg);
    }
    void* Mmap(size_t length, int prot, int flags, int fd, off_t offset) override {
        return ::mmap(nullptr, length, prot, flags, fd, offset);
    }
    int Munmap(void* address, size_t length) override { return ::munmap(address, length); }
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }

    std::vector<std::string> ListDeviceNodes() override {
        // Nodes in numeric order, so video2 comes before video10.
        std::vector<std::pair<long, std::string>> nodes;
        for (const std::string& name : ListDirectory("/dev")) {
            if (name.rfind("video", 0) != 0 || name.size() == 5)
                continue;
            char* end = nullptr;
            long n = std::strtol(name.c_str() + 5, &end, 10);
            if (*end == '\0')
                nodes.emplace_back(n, "/dev/" + name);
        }
        std::sort(nodes.begin(), nodes.end());

        std::map<std::string, std::string> stableLinks;  // node -> its by-id link
        const std::string byId = "/dev/v4l/by-id";
        for (const std::string& name : ListDirectory(byId)) {
            std::string link = byId + "/" + name;
            std::string target = RealPath(link);
            if (!target.empty())
                stableLinks.emplace(target, link);
        }

        std::vector<std::string> identities;
        for (const auto& node : nodes) {
            auto it = stableLinks.find(RealPath(node.second));
            identities.push_back(it != stableLinks.end() ? it->second : node.second);
        }
        return identities;
    }
};

}  // namespace

IV4l2Io& SystemV4l2Io() {
    static CSystemV4l2Io io;
    return io;
}

int XIoctl(IV4l2Io& io, int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = io.Ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

std::string ErrnoText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string FieldText(const uint8_t* field, size_t size) {
    size_t n = strnlen(reinterpret_cast<const char*>(field), size);
    return std::string(reinterpret_cast<const char*>(field), n);
}
