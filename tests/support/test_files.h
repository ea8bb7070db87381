#pragma once
// File helpers for Windows tests: a scratch folder per test and whole-file reads.
#include <windows.h>

#include <string>

namespace talverin::test {

// A fresh folder below the system temp folder, removed with its content.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

std::string ReadFileText(const std::string& path);
bool WriteFileText(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
bool MakeDir(const std::string& path);
void RemoveTree(const std::string& path);
// The folder of the running test executable, with a trailing backslash.
std::string ExeDir();

}  // namespace talverin::test
