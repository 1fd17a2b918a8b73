#pragma once

#include <climits>
#include <span>
#include <string>
#include <string_view>

class CIniFile;

// How a key's value is read: a leading-digits integer, a real, or the text as it stands.
enum class KeyType { kInt, kReal, kText };

// One key of a key file: where it is, its type, the default written into a file (null: never
// written), the value that counts when the file lacks it (`fallback` for numbers,
// `fallbackText` for text), whether a fresh file gets it, and the range an integer read is
// held in.
struct KeyDef {
    const char* section;
    const char* key;
    KeyType type;
    const char* written = nullptr;
    double fallback = 0;
    const char* fallbackText = "";
    bool inFreshFile = true;
    int min = INT_MIN;
    int max = INT_MAX;

    constexpr int IntFallback() const { return static_cast<int>(fallback); }
};

int ReadInt(const CIniFile& ini, const KeyDef& def);
double ReadReal(const CIniFile& ini, const KeyDef& def);
std::string ReadText(const CIniFile& ini, const KeyDef& def);
bool HasKey(const CIniFile& ini, const KeyDef& def);

// The written default, with {hostname} replaced by `hostName`.
std::string WrittenDefault(const KeyDef& def, std::string_view hostName = {});

// Writes every key of `keys` that has a written default and that the file lacks; true when
// it wrote one. The caller saves.
bool WriteMissingKeys(CIniFile& ini, std::span<const KeyDef> keys);
