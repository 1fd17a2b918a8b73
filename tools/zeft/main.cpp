// zeft: command-line client of the control system. Reads, writes and monitors any
// property and prints the values by their format; exits with the call's status.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/LittleEndian.h"
#include "base/Version.h"
#include "zeft/Zeft.h"
#include "zeft/ZeftClient.h"

namespace {

const char kUsage[] =
    "usage: zeft read ADDRESS PROPERTY [options]\n"
    "       zeft write ADDRESS PROPERTY VALUE... [options]\n"
    "       zeft readwrite ADDRESS PROPERTY VALUE... [options]\n"
    "       zeft monitor ADDRESS PROPERTY [VALUE...] [options]\n"
    "       zeft --help | --version\n"
    "ADDRESS is /CONTEXT/SERVER/DEVICE; SERVER is a name of the names file or HOST:PORT.\n"
    "options: --format N     format of the written values (512 double, 514 byte, 515 int,\n"
    "                        516 text); guessed from the values when absent\n"
    "         --timeout MS   time-out of a call, or of each monitor reply (default 3000)\n"
    "         --interval MS  monitor interval (default 1000; 0: only when scheduled)\n"
    "         --count N      monitor: stop after N replies (default: run until an error)\n"
    "         --names DIR    directory of the names file (zeftnames.cfg)\n"
    "         --max N        print at most N elements of an array (default 64)\n"
    "Exit status: 0 on success; the call's status when it is 1 to 124; 2 for an unknown\n"
    "option; 125 otherwise.\n";

struct Options {
    std::string mode, address, property;
    std::vector<std::string> values;
    int format = -1;
    int timeoutMs = 3000;
    long intervalMs = 1000;
    long count = -1;
    size_t maxPrint = 64;
};

bool ParseLong(const char* s, long* out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end)
        return false;
    *out = v;
    return true;
}

bool IsInteger(const std::string& s) {
    size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size() || s.size() - i > 10)
        return false;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    long long v = std::strtoll(s.c_str(), nullptr, 10);
    return v >= INT32_MIN && v <= INT32_MAX;
}

// Decimal numbers only: "0x10" and "inf" stay text (camera ids are hexadecimal texts).
bool IsDecimal(const std::string& s) {
    if (s.empty() || s.find_first_not_of("0123456789+-.eE") != std::string::npos)
        return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return *end == '\0';
}

bool BuildRequest(const Options& o, ZeftRequest* r) {
    if (o.values.empty())
        return true;
    int format = o.format;
    if (format < 0) {
        bool ints = true, nums = true;
        for (const std::string& v : o.values) {
            ints = ints && IsInteger(v);
            nums = nums && IsDecimal(v);
        }
        format = ints ? kZeftFormatInt : nums ? kZeftFormatDouble : kZeftFormatChar;
    }
    r->format = static_cast<uint16_t>(format);
    switch (format) {
        case kZeftFormatChar:
        case kZeftFormatText: {
            std::string text;
            for (const std::string& v : o.values)
                text += (text.empty() ? "" : " ") + v;
            r->data.assign(text.begin(), text.end());
            r->count = format == kZeftFormatText ? 1 : static_cast<uint32_t>(text.size());
            return true;
        }
        case kZeftFormatInt:
        case kZeftFormatByte:
        case kZeftFormatDouble:
            for (const std::string& v : o.values) {
                if (format == kZeftFormatDouble) {
                    if (!IsDecimal(v))
                        return false;
                    r->data.resize(r->data.size() + 8);
                    StoreLEDouble(r->data.data() + r->data.size() - 8,
                                  std::strtod(v.c_str(), nullptr));
                } else {
                    if (!IsInteger(v))
                        return false;
                    long long n = std::strtoll(v.c_str(), nullptr, 10);
                    if (format == kZeftFormatByte) {
                        if (n < 0 || n > 255)
                            return false;
                        r->data.push_back(static_cast<uint8_t>(n));
                    } else {
                        r->data.resize(r->data.size() + 4);
                        StoreLE32(r->data.data() + r->data.size() - 4,
                                  static_cast<uint32_t>(static_cast<int32_t>(n)));
                    }
                }
                ++r->count;
            }
            return true;
        default:
            return false;
    }
}

void PrintReply(const ZeftWireReply& r, size_t maxPrint) {
    const std::vector<uint8_t>& d = r.data;
    std::string out;
    char buf[64];
    size_t shown = std::min<size_t>(r.count, maxPrint);
    switch (r.format) {
        case kZeftFormatNone:
            return;
        case kZeftFormatChar:
        case kZeftFormatText:
            for (uint8_t c : d) {
                if (c == 0)
                    break;
                out.push_back(static_cast<char>(c));
            }
            break;
        case kZeftFormatByte:
            for (size_t i = 0; i < shown; ++i) {
                std::snprintf(buf, sizeof buf, "%s%u", i ? " " : "", d[i]);
                out += buf;
            }
            break;
        case kZeftFormatInt:
            for (size_t i = 0; i < shown; ++i) {
                std::snprintf(buf, sizeof buf, "%s%d", i ? " " : "",
                              static_cast<int32_t>(LoadLE32(d.data() + 4 * i)));
                out += buf;
            }
            break;
        case kZeftFormatDouble:
            for (size_t i = 0; i < shown; ++i) {
                std::snprintf(buf, sizeof buf, "%s%.17g", i ? " " : "",
                              LoadLEDouble(d.data() + 8 * i));
                out += buf;
            }
            break;
        case kZeftFormatRecord:
            // A record is shown as its 32-bit integer and three floats.
            for (size_t i = 0; i < shown; ++i) {
                const uint8_t* p = d.data() + 16 * i;
                std::snprintf(buf, sizeof buf, "%s%d %g %g %g", i ? "; " : "",
                              static_cast<int32_t>(LoadLE32(p)), LoadLEFloat(p + 4),
                              LoadLEFloat(p + 8), LoadLEFloat(p + 12));
                out += buf;
            }
            break;
        default:
            out = "(format " + std::to_string(r.format) + ")";
    }
    if (r.format != kZeftFormatChar && r.format != kZeftFormatText && r.count > shown)
        out += " ... (" + std::to_string(r.count) + " elements)";
    std::printf("%s\n", out.c_str());
}

int ExitCode(int16_t status) {
    if (status == 0)
        return 0;
    return (status > 0 && status < 125) ? status : 125;
}

int Report(int16_t status, const ZeftWireReply* r) {
    if (status != 0) {
        std::string text = r && !r->message.empty() ? r->message : ZeftStatusText(status);
        std::fprintf(stderr, "zeft: status %d%s%s\n", status, text.empty() ? "" : ": ",
                     text.c_str());
    }
    return ExitCode(status);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        long v = 0;
        auto number = [&](long lo, long hi) {
            if (i + 1 >= argc || !ParseLong(argv[++i], &v) || v < lo || v > hi) {
                std::fprintf(stderr, "zeft: bad value for %s\n", a.c_str());
                std::exit(125);
            }
            return v;
        };
        if (a == "--format")
            o.format = static_cast<int>(number(0, 65535));
        else if (a == "--timeout")
            o.timeoutMs = static_cast<int>(number(1, 3600000));
        else if (a == "--interval")
            o.intervalMs = number(0, 86400000);
        else if (a == "--count")
            o.count = number(1, 1L << 40);
        else if (a == "--max")
            o.maxPrint = static_cast<size_t>(number(0, 1L << 30));
        else if (a == "--names") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zeft: --names needs a directory\n");
                return 125;
            }
            ZeftSetNamesFile(argv[++i]);
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zeft %s\n", kLumerixVersion);
            return 0;
        } else if (a.starts_with("--")) {
            // Before the call: a misspelt option must not travel as a value.
            std::fprintf(stderr, "zeft: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else
            positional.push_back(a);
    }
    if (positional.size() < 3) {
        std::fputs(kUsage, stderr);
        return 125;
    }
    o.mode = positional[0];
    o.address = positional[1];
    o.property = positional[2];
    o.values.assign(positional.begin() + 3, positional.end());

    int16_t access;
    if (o.mode == "monitor")
        access = kZeftRead;  // servers refuse monitors that write; values go as the request
    else if (o.mode == "read")
        access = o.values.empty() ? kZeftRead : kZeftReadWrite;
    else if (o.mode == "write")
        access = kZeftWrite;
    else if (o.mode == "readwrite")
        access = kZeftReadWrite;
    else {
        std::fputs(kUsage, stderr);
        return 125;
    }
    if ((access & kZeftWrite) && o.values.empty()) {
        std::fprintf(stderr, "zeft: %s needs a value\n", o.mode.c_str());
        return 125;
    }
    ZeftRequest request;
    if (!BuildRequest(o, &request)) {
        std::fprintf(stderr, "zeft: the values do not fit format %d\n", o.format);
        return 125;
    }

    if (o.mode != "monitor") {
        ZeftWireReply r;
        int16_t status =
            ZeftCall(o.address.c_str(), o.property.c_str(), request, access, o.timeoutMs, &r);
        if (status == 0)
            PrintReply(r, o.maxPrint);
        return Report(status, &r);
    }

    CZeftMonitor m;
    int16_t status = m.Open(o.address.c_str(), o.property.c_str(), request, access,
                            static_cast<uint32_t>(o.intervalMs), o.timeoutMs);
    if (status != 0)
        return Report(status, nullptr);
    ZeftWireReply r;
    for (long n = 0; o.count < 0 || n < o.count; ++n) {
        status = m.Next(o.timeoutMs, &r);
        if (status != 0)
            return Report(status, nullptr);
        if (r.status != 0)
            std::fprintf(stderr, "zeft: status %d%s%s\n", r.status, r.message.empty() ? "" : ": ",
                         r.message.c_str());
        else
            PrintReply(r, o.maxPrint);
        std::fflush(stdout);
        if (m.Ended())
            break;
    }
    return ExitCode(r.status);
}
