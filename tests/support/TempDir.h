#pragma once

#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Whole file as a string; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
// Writes (creates or truncates) a file; false on failure.
bool WriteFileText(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
