#include "config/IniFile.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <utility>

#include "base/ProgramDir.h"
#include "base/ReplaceFile.h"
#include "base/UniqueFd.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HoldsLineBreakOrZero(std::string_view s) {
    return s.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

// atoi without its undefined overflow: leading blanks, optional sign, decimal digits.
int ParseInt(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    long long n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        n = n * 10 + (s[i] - '0');
        if (n > static_cast<long long>(INT_MAX) + 1)
            break;
    }
    if (negative)
        n = -n;
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return static_cast<int>(n);
}

// atof in the "C" locale: the application framework may switch the process locale to one
// with a decimal comma, and the file must read the same everywhere.
double ParseDouble(const std::string& s) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (cLocale == static_cast<locale_t>(0))
        return std::strtod(s.c_str(), nullptr);
    return ::strtod_l(s.c_str(), nullptr, cLocale);
}

// Reads at most `limit` + 1 bytes; a read error ends the reading with what was read.
std::string ReadBounded(int fd, size_t limit) {
    std::string data;
    char chunk[65536];
    while (data.size() <= limit) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(chunk, static_cast<size_t>(n));
    }
    if (data.size() > limit) {
        // Keep whole lines only: a line cut by the bound would read as another value.
        size_t lastBreak = data.rfind('\n', limit - 1);
        data.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }
    return data;
}

// The file a save replaces: through a symbolic link to the real file, so that the link
// stays a link.
std::string SaveTarget(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return path;
}

// For a file whose directory the server may not write. The new text goes over the old one from
// its start and the file is then cut to length, so it never passes through empty; when a write
// fails part-way (a full disk) the old text goes back over blocks the file already owns.
bool WriteInPlace(const std::string& path, std::string_view text) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > static_cast<off_t>(CIniFile::kMaxFileBytes))
        return false;
    const std::string old = ReadBounded(fd.get(), static_cast<size_t>(st.st_size));
    if (old.size() != static_cast<size_t>(st.st_size) || ::lseek(fd.get(), 0, SEEK_SET) != 0)
        return false;
    if (WriteAll(fd.get(), text) && ::ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 &&
        ::fsync(fd.get()) == 0)
        return true;
    if (::lseek(fd.get(), 0, SEEK_SET) == 0 && WriteAll(fd.get(), old))
        ::ftruncate(fd.get(), static_cast<off_t>(old.size()));
    return false;
}

}  // namespace

CIniFile::CIniFile(std::string programDir) : programDir_(std::move(programDir)) {}

CIniFile::~CIniFile() = default;

bool CIniFile::NamesEqual(std::string_view a, std::string_view b) {
    if ((!a.empty() && a[0] == '#') || (!b.empty() && b[0] == '#'))
        return false;
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

bool CIniFile::Load(const std::string& fileName) {
    sections_.clear();
    modified_ = false;
    path_ = JoinPath(programDir_, fileName);
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    Parse(ReadBounded(fd.get(), kMaxFileBytes));
    return true;
}

void CIniFile::Parse(std::string_view text) {
    Section* current = nullptr;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        // The line is a C string to the writer of the file: a zero byte ends it.
        line = line.substr(0, line.find('\0'));
        while (!line.empty() && IsBlank(line.back()))
            line.remove_suffix(1);
        if (line.empty())
            continue;

        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            sections_.push_back(Section{std::string(line.substr(1, line.size() - 2)), {}, false});
            current = &sections_.back();
            continue;
        }
        if (current == nullptr) {
            sections_.push_back(Section{"#", {}, true});
            current = &sections_.back();
        }
        size_t eq = line.front() == '#' ? std::string_view::npos : line.find('=');
        if (eq == std::string_view::npos)
            current->entries.push_back(Entry{std::string(line), {}, true});
        else
            current->entries.push_back(
                Entry{std::string(line.substr(0, eq)), std::string(line.substr(eq + 1))});
    }
}

// A section without entries (a header with nothing under it) is found by no lookup.
const CIniFile::Section* CIniFile::FindSection(std::string_view name) const {
    for (const Section& s : sections_) {
        if (!s.entries.empty() && NamesEqual(s.name, name))
            return &s;
    }
    return nullptr;
}

CIniFile::Section* CIniFile::FindSection(std::string_view name) {
    return const_cast<Section*>(std::as_const(*this).FindSection(name));
}

const CIniFile::Entry* CIniFile::FindEntry(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (s == nullptr)
        return nullptr;
    // Later sections of the same name are never searched; the last duplicate key wins.
    for (auto it = s->entries.rbegin(); it != s->entries.rend(); ++it) {
        if (NamesEqual(it->key, key))
            return &*it;
    }
    return nullptr;
}

std::string CIniFile::GetValue(std::string_view section, std::string_view key,
                               std::string_view def) const {
    const Entry* e = FindEntry(section, key);
    if (e == nullptr)
        return std::string(def);
    size_t semicolon = e->value.rfind(';');
    return semicolon == std::string::npos ? e->value : e->value.substr(0, semicolon);
}

int CIniFile::GetInt(std::string_view section, std::string_view key, int def) const {
    return FindEntry(section, key) ? ParseInt(GetValue(section, key, {})) : def;
}

double CIniFile::GetDouble(std::string_view section, std::string_view key, double def) const {
    return FindEntry(section, key) ? ParseDouble(GetValue(section, key, {})) : def;
}

bool CIniFile::SetValue(std::string_view section, std::string_view key, std::string_view value) {
    if (HoldsLineBreakOrZero(section) || HoldsLineBreakOrZero(key) || HoldsLineBreakOrZero(value))
        return false;
    Section* s = FindSection(section);
    if (s == nullptr) {
        sections_.push_back(Section{std::string(section), {}, false});
        s = &sections_.back();
        modified_ = true;
    }
    for (auto it = s->entries.rbegin(); it != s->entries.rend(); ++it) {
        if (NamesEqual(it->key, key)) {
            if (!NamesEqual(it->value, value))
                modified_ = true;
            it->value = value;
            return true;
        }
    }
    s->entries.push_back(Entry{std::string(key), std::string(value), false});
    modified_ = true;
    return true;
}

bool CIniFile::SetInt(std::string_view section, std::string_view key, int value) {
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    return SetValue(section, key, std::string_view(buf, end - buf));
}

bool CIniFile::SetDouble(std::string_view section, std::string_view key, double value) {
    char buf[400];  // the widest double in fixed notation needs 317 characters
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    if (ec != std::errc())
        return false;
    return SetValue(section, key, std::string_view(buf, end - buf));
}

std::string CIniFile::Text() const {
    // Loading and saving an unchanged store gives back the file's lines (blank ones aside), so
    // an operator's notes survive the saves the server makes on its own.
    std::string out;
    for (const Section& s : sections_) {
        if (s.entries.empty())
            continue;
        // Also for an empty name: without its header the entries would join the section
        // before them on the next read. The leading section is first and needs none.
        if (!s.leading) {
            out += '[';
            out += s.name;
            out += "]\n";
        }
        for (const Entry& e : s.entries) {
            out += e.key;
            // A comment or a line read without '=' goes back as it was read; every other
            // entry keeps its '=', so an entry with an empty key still reads back as one.
            bool comment = !e.key.empty() && e.key[0] == '#';
            if (!e.value.empty() || !(e.bare || comment)) {
                out += '=';
                out += e.value;
            }
            out += '\n';
        }
    }
    return out;
}

bool CIniFile::Save() {
    if (!modified_)
        return true;
    if (path_.empty())
        return false;
    const std::string target = SaveTarget(path_);
    // The rename would replace a file its owner made read-only; honour the protection.
    if (::access(target.c_str(), W_OK) != 0 && errno != ENOENT)
        return false;
    const std::string text = Text();
    if (!ReplaceFileAtomically(target, text)) {
        // Installations keep the program directory read-only but the configuration writable.
        if ((errno != EACCES && errno != EPERM) || !WriteInPlace(target, text))
            return false;
    }
    modified_ = false;
    return true;
}
