#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One key file (the configuration file, the hardware description) held in memory as an
// ordered list of sections, each an ordered list of key/value entries, and written back
// whole on request.
//
// Reading keeps the file's quirks that stored files rely on: keys and values are not
// trimmed around '=', a lookup drops the value's last ';' and what follows, the first
// section of a name wins, and within it the last entry of a key. Names compare ignoring
// ASCII letter case, and a name starting with '#' equals nothing.
//
// Owned by whoever loads it; not thread-safe, use it from one thread.
class CIniFile {
  public:
    struct Entry {
        std::string key;
        std::string value;  // as stored: an inline ';' comment is kept
        // Read from a line without '=' (a note, a bare word): written back as it was read
        // while its value stays empty.
        bool bare = false;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;  // in file order; duplicate keys allowed
        // The lines before the file's first header; found by no lookup ("#") and written
        // back before the first header, without one.
        bool leading = false;
    };

    // Files larger than this are read up to the last whole line before the bound. Real
    // files have a few hundred bytes; the bound keeps a stray huge file from costing
    // tens of times its size in memory.
    static constexpr size_t kMaxFileBytes = 1024 * 1024;

    // `programDir` is where Load looks for its file (base/ProgramDir.h).
    explicit CIniFile(std::string programDir);
    virtual ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    // Remembers programDir/`fileName` as the path and reads it. False when the file cannot
    // be opened; the store is then empty and a later Save creates the file there.
    bool Load(const std::string& fileName);

    // `def` when the section or key is absent; otherwise the value without its inline
    // comment, untrimmed.
    std::string GetValue(std::string_view section, std::string_view key,
                         std::string_view def) const;
    // The value read like atoi (out-of-range numbers saturate).
    int GetInt(std::string_view section, std::string_view key, int def) const;
    // The value read like atof, always with '.' as the decimal point.
    double GetDouble(std::string_view section, std::string_view key, double def) const;

    // Replaces the last entry of `key` in the first section named `section`, or appends
    // it (and the section). A value equal but for letter case replaces the text without
    // marking the store modified. A section, key or value holding a line break or a zero
    // byte would change the file's lines when written; it is refused with false.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value);
    bool SetInt(std::string_view section, std::string_view key, int value);  // "%d"
    bool SetDouble(std::string_view section, std::string_view key,
                   double value);  // "%f", '.' as the decimal point

    // Writes the store to its path when it was modified (true without touching the file
    // otherwise). The new text replaces the target through base/ReplaceFile.h, so after a
    // crash or a power cut the file is either the old or the new one; an existing
    // file keeps its permissions, and a read-only one is not replaced. Where the directory
    // may not be written but the file may, the file is rewritten in place instead (a failed
    // write puts the old text back). False when it cannot be written; the store then keeps
    // its contents and its modified mark.
    bool Save();

    // The text Save writes.
    std::string Text() const;

    const std::string& Path() const { return path_; }
    bool IsModified() const { return modified_; }
    // Every section as read or created, those without entries included.
    const std::vector<Section>& Sections() const { return sections_; }

    // The name comparison used for sections, keys and the value test of SetValue.
    static bool NamesEqual(std::string_view a, std::string_view b);

  private:
    void Parse(std::string_view text);
    Section* FindSection(std::string_view name);
    const Section* FindSection(std::string_view name) const;
    const Entry* FindEntry(std::string_view section, std::string_view key) const;

    std::string programDir_;
    std::string path_;
    std::vector<Section> sections_;
    bool modified_ = false;
};
