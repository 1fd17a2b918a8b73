#include "config/KeyTable.h"

#include <algorithm>

#include "config/IniFile.h"

int ReadInt(const CIniFile& ini, const KeySpec& spec) {
    return std::clamp(ini.GetInt(spec.section, spec.key, spec.IntFallback()), spec.min, spec.max);
}

double ReadReal(const CIniFile& ini, const KeySpec& spec) {
    return ini.GetDouble(spec.section, spec.key, spec.fallback);
}

std::string ReadText(const CIniFile& ini, const KeySpec& spec) {
    return ini.GetValue(spec.section, spec.key, spec.fallbackText);
}

bool HasKey(const CIniFile& ini, const KeySpec& spec) {
    // No value can hold a line break, so this one stands for "absent".
    constexpr std::string_view kAbsent = "\n";
    return ini.GetValue(spec.section, spec.key, kAbsent) != kAbsent;
}

std::string WrittenDefault(const KeySpec& spec, std::string_view hostName) {
    std::string value = spec.written ? spec.written : "";
    constexpr std::string_view kHost = "{hostname}";
    if (const size_t at = value.find(kHost); at != std::string::npos)
        value.replace(at, kHost.size(), hostName);
    return value;
}

bool WriteMissingKeys(CIniFile& ini, std::span<const KeySpec> keys) {
    bool wrote = false;
    for (const KeySpec& spec : keys) {
        if (spec.written && !HasKey(ini, spec))
            wrote = ini.SetValue(spec.section, spec.key, WrittenDefault(spec)) || wrote;
    }
    return wrote;
}
