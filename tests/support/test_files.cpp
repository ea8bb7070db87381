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
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
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
  GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path = buffer;
  return path.substr(0, path.rfind('\\') + 1);
}

}  // namespace talverin::test
