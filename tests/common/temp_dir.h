#pragma once
// A fresh directory per test, removed with everything in it afterwards.
#include <filesystem>
#include <string>

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `relative` below the directory (parents created).
  std::filesystem::path write(const std::string& relative, const std::string& content) const;

private:
  std::filesystem::path path_;
};

// The whole of a file; empty when it cannot be read.
std::string fileContent(const std::filesystem::path& path);
