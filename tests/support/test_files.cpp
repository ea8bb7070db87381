#include "support/test_files.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace talverin::test {

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> counter{0};
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  path_ = temp + ("talverin-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
  RemoveTree(path_);
  CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::string ReadFileText(const std::string& path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}

bool WriteFileText(const std::string& path, const std::string& text) {
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << text);
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeDir(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;  // what a running test still holds open stays behind
  std::filesystem::remove_all(path, ignored);
}

std::string ExeDir() {
  char buffer[MAX_PATH] = {};
  const std::string path(buffer, GetModuleFileNameA(nullptr, buffer, MAX_PATH));
  return path.substr(0, path.rfind('\\') + 1);
}

}  // namespace talverin::test
