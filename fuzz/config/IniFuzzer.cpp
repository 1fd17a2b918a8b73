// Load of any bytes must not crash, and a loaded store must survive Save and a second Load
// unchanged: same sections, same lookups, same text.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/IniFile.h"

namespace {

std::string g_dir;

void RemoveDir() {
    for (const char* name : {"in.cfg", "out.cfg"})
        ::unlink((g_dir + "/" + name).c_str());
    ::rmdir(g_dir.c_str());
}

// A scratch directory in memory where there is one: every input is written and read.
const std::string& Dir() {
    if (g_dir.empty()) {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string templ = std::string(base) + "/lumerix2-fuzz-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr)
            std::abort();
        g_dir = buf.data();
        std::atexit(RemoveDir);
    }
    return g_dir;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "round trip broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = Dir();
    WriteFile(dir + "/in.cfg", data, size);
    CIniFile first(dir);
    Check(first.Load("in.cfg"), "load");
    const std::string text = first.Text();

    WriteFile(dir + "/out.cfg", text.data(), text.size());
    CIniFile second(dir);
    Check(second.Load("out.cfg"), "second load");
    Check(second.Text() == text, "text differs after the round trip");
    for (const auto& s : first.Sections()) {
        for (const auto& e : s.entries) {
            Check(first.GetValue(s.name, e.key, "\n") == second.GetValue(s.name, e.key, "\n"),
                  "lookup differs after the round trip");
        }
    }

    // Save writes what a load reads back, and an unchanged store leaves the file alone.
    Check(second.SetValue("FuzzSection", "k", "v"), "set");
    Check(second.Save(), "save");
    CIniFile third(dir);
    Check(third.Load("out.cfg"), "third load");
    Check(third.Text() == second.Text(), "saved text differs");
    Check(third.GetValue("FuzzSection", "k", "") == "v", "saved value lost");
    WriteFile(dir + "/out.cfg", "x", 1);
    Check(third.Save(), "unchanged save");
    Check(third.Load("out.cfg") && third.Text() == "x\n", "unchanged store wrote");
    return 0;
}
