// Figures of the server's process taken from /proc, and what they say over a run.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/soak/Soak.h"

namespace soak {
namespace {

// Socket inode -> "tcp LOCAL>REMOTE STATE" with the tool's ports named.
std::map<std::string, std::string> TcpSockets(pid_t pid,
                                              const std::map<unsigned, std::string>& names) {
    std::map<std::string, std::string> out;
    auto name = [&](const std::string& address) {
        const unsigned port =
            unsigned(std::strtoul(address.substr(address.find(':') + 1).c_str(), nullptr, 16));
        auto it = names.find(port);
        return it != names.end() ? it->second : std::string("other");
    };
    for (const char* table : {"tcp", "tcp6"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
        std::string line;
        std::getline(in, line);
        for (int i = 0; i < 100000 && std::getline(in, line); ++i) {
            std::istringstream f(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode;
            out["socket:[" + inode + "]"] =
                "tcp " + name(local) + ">" + name(remote) + " state " + state;
        }
    }
    return out;
}

}  // namespace

Sample Measure(pid_t pid, double at, const std::map<unsigned, std::string>& names) {
    Sample out;
    out.at = at;
    const auto sockets = TcpSockets(pid, names);
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd/";
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            out.rssKb = std::atol(line.c_str() + 6);
        else if (line.rfind("Threads:", 0) == 0)
            out.threads = std::atol(line.c_str() + 8);
    }
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        out.fds = 0;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            ++out.fds;
            std::error_code ec;
            std::string target = std::filesystem::read_symlink(fdDir + e->d_name, ec).string();
            auto it = sockets.find(target);
            if (it != sockets.end())
                target = it->second;
            else if (auto bracket = target.find(":[");
                     bracket != std::string::npos && target.rfind("anon_inode", 0) != 0)
                target.resize(bracket);  // pipes and other sockets: the kind, not the inode
            ++out.kinds[target];
        }
        ::closedir(d);
    }
    return out;
}

Trend SecondHalfTrend(const std::vector<Sample>& samples) {
    Trend t;
    for (const Sample& x : samples)
        t.peakKb = std::max(t.peakKb, x.rssKb);
    if (samples.size() < 3)
        return t;
    const double half = (samples.front().at + samples.back().at) / 2;
    size_t from = 1;
    while (from + 3 < samples.size() && samples[from].at < half)
        ++from;
    // The median of the slopes between every two samples: a dip or a step of the heap at
    // one sample tilts it far less than a least-squares line.
    std::vector<double> slopes;
    for (size_t i = from; i < samples.size(); ++i)
        for (size_t k = i + 1; k < samples.size(); ++k)
            slopes.push_back(double(samples[k].rssKb - samples[i].rssKb) / 1024 /
                             ((samples[k].at - samples[i].at) / 60));
    std::nth_element(slopes.begin(), slopes.begin() + long(slopes.size() / 2), slopes.end());
    t.points = samples.size() - from;
    t.fromS = samples[from].at;
    t.mbPerMinute = slopes[slopes.size() / 2];
    return t;
}

bool PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

pid_t StartSpinner(int cpu) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!PinTo(cpu))
            _exit(126);
        volatile unsigned long spins = 0;
        for (;;)
            spins = spins + 1;
    }
    return pid;
}

void StopSpinner(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace soak
