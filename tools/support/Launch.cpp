#include "tools/support/Launch.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <thread>

#include "base/UniqueFd.h"

extern char** environ;

namespace {

bool Bindable(uint16_t port, uint16_t* chosen = nullptr) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return false;
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    if (chosen != nullptr)
        *chosen = ntohs(a.sin_port);
    return true;
}

// The executable `path` names, looked up in PATH before any fork: the child must not
// allocate.
std::string Resolve(const std::string& path) {
    const char* search = std::getenv("PATH");
    if (path.find('/') != std::string::npos || search == nullptr)
        return path;
    std::istringstream dirs(search);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + path;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return path;
}

}  // namespace

pid_t Spawn(const std::string& path, std::vector<std::string> args, const SpawnOptions& options) {
    const std::string file = Resolve(path);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0)
            envp.push_back(*e);
    envp.push_back(nullptr);

    pid_t pid = -1;
    if (options.dieWithParent) {
        // fork, not posix_spawn, for the death signal; nothing may allocate before exec.
        const pid_t parent = ::getpid();
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                _exit(127);
            if (!options.output.empty()) {
                const int out = ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            ::execve(file.c_str(), argv.data(), envp.data());
            _exit(127);
        }
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!options.output.empty()) {
            posix_spawn_file_actions_addopen(&actions, 1, options.output.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        }
        if (posix_spawn(&pid, file.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    // The child has not started a thread yet: the whole program inherits the core.
    if (pid > 0 && options.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(options.cpu, &set);
        if (::sched_setaffinity(pid, sizeof set, &set) != 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
    }
    return pid;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    using namespace std::chrono_literals;
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
        if (pred())
            return true;
    }
    return pred();
}

int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (pid <= 0)
        return -1;
    if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Terminate(pid_t pid, std::chrono::milliseconds grace) {
    if (pid > 0)
        ::kill(pid, SIGTERM);
    return WaitExit(pid, grace);
}

bool Alive(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

uint16_t FreePort() {
    uint16_t port = 0;
    Bindable(0, &port);
    return port;
}

bool PortFree(uint16_t port) {
    return Bindable(port);
}
