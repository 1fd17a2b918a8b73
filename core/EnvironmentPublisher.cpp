#include "core/EnvironmentPublisher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/ReplaceFile.h"
#include "base/ThreadName.h"
#include "base/UniqueFd.h"

namespace {

constexpr char kName[] = "LUMERIX2";
constexpr char kValue[] = "on";
// A machine environment file is a few hundred bytes; a huge one is not ours to rewrite.
constexpr size_t kMaxFileBytes = 1024 * 1024;

bool ReadWhole(const std::string& path, std::string* text, bool* exists) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    *exists = static_cast<bool>(fd);
    if (!fd)
        return errno == ENOENT;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > kMaxFileBytes)
            return false;
    }
}

}  // namespace

std::string WithEnvironmentLine(const std::string& text, const std::string& name,
                                const std::string& value) {
    const std::string line = name + "=" + value;
    std::string out;
    bool done = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const bool lastWithoutEnd = end == std::string::npos;
        std::string current = text.substr(pos, lastWithoutEnd ? std::string::npos : end - pos);
        const size_t eq = current.find('=');
        if (!done && eq != std::string::npos && current.substr(0, eq) == name) {
            current = line;
            done = true;
        }
        out += current;
        out += '\n';
        pos = lastWithoutEnd ? text.size() : end + 1;
    }
    if (!done)
        out += line + "\n";
    return out;
}

bool CEnvironmentPublisher::PublishNow() {
    std::string text;
    bool exists = false;
    if (!ReadWhole(path_, &text, &exists))
        return false;
    const std::string wanted = WithEnvironmentLine(text, kName, kValue);
    if (exists && wanted == text)
        return true;  // already right: the file is not touched
    return ReplaceFileAtomically(path_, wanted);
}

void CEnvironmentPublisher::Start() {
    std::lock_guard lock(mutex_);
    if (running_)
        return;
    running_ = true;
    requested_ = false;
    thread_ = std::thread(&CEnvironmentPublisher::Run, this);
}

void CEnvironmentPublisher::Request() {
    {
        std::lock_guard lock(mutex_);
        requested_ = true;
    }
    changed_.notify_all();
}

void CEnvironmentPublisher::Stop() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void CEnvironmentPublisher::Run() {
    NameThisThread("lx-environment");
    std::unique_lock lock(mutex_);
    for (;;) {
        // A condition, not a sleep: a stop ends the thread at once.
        changed_.wait(lock, [this] { return requested_ || !running_; });
        if (!running_)
            return;
        requested_ = false;
        lock.unlock();
        PublishNow();  // without the right to write, nothing is reported
        lock.lock();
    }
}
