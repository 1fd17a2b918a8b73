#include "config/KeyTable.h"

#include <algorithm>

#include "config/IniFile.h"

int ReadInt(const CIniFile& ini, const KeyDef& def) {
    return std::clamp(ini.GetInt(def.section, def.key, def.IntFallback()), def.min, def.max);
}

double ReadReal(const CIniFile& ini, const KeyDef& def) {
    return ini.GetDouble(def.section, def.key, def.fallback);
}

std::string ReadText(const CIniFile& ini, const KeyDef& def) {
    return ini.GetValue(def.section, def.key, def.fallbackText);
}

bool HasKey(const CIniFile& ini, const KeyDef& def) {
    // No value can hold a line break, so this one stands for "absent".
    constexpr std::string_view kAbsent = "\n";
    return ini.GetValue(def.section, def.key, kAbsent) != kAbsent;
}

std::string WrittenDefault(const KeyDef& def, std::string_view hostName) {
    std::string value = def.written ? def.written : "";
    constexpr std::string_view kHost = "{hostname}";
    if (const size_t at = value.find(kHost); at != std::string::npos)
        value.replace(at, kHost.size(), hostName);
    return value;
}

bool WriteMissingKeys(CIniFile& ini, std::span<const KeyDef> keys) {
    bool wrote = false;
    for (const KeyDef& def : keys) {
        if (def.written && !HasKey(ini, def))
            wrote = ini.SetValue(def.section, def.key, WrittenDefault(def)) || wrote;
    }
    return wrote;
}
