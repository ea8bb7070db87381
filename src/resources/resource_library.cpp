#include "resources/resource_library.h"

#include <cstdio>

#include "diag/trace_log.h"
#include "base/error.h"

#ifndef LOAD_LIBRARY_SEARCH_APPLICATION_DIR
#define LOAD_LIBRARY_SEARCH_APPLICATION_DIR 0x00000200
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace talverin {

const char kResourceBaseName[] = "talverin.isa.filter";

namespace {

std::string ModuleLocaleDirectory() {
  std::string moduleFileName;
  if (FAILED(GetThisModuleFileName(moduleFileName))) return "\\Locale";
  const std::size_t slash = moduleFileName.rfind('\\');
  const std::string directory = slash == std::string::npos ? std::string() : moduleFileName.substr(0, slash);
  return directory + "\\Locale";
}

}  // namespace

ResourceLibrary& ResourceLibrary::Instance() {
  static ResourceLibrary library(ModuleLocaleDirectory());
  return library;
}

ResourceLibrary::ResourceLibrary(std::string localeDirectory) : localeDirectory_(std::move(localeDirectory)) {}

ResourceLibrary::~ResourceLibrary() {
  CsLock guard(lock_);
  module_.Reset();
}

void ResourceLibrary::Load(std::string baseName, std::string language) {
  DWORD error = ERROR_MOD_NOT_FOUND;
  {
    CsLock guard(lock_);
    // Freed before the new one is looked for: a failed load leaves none.
    module_.Reset();
    if (!language.empty()) {
      const std::string fileName = baseName + "." + language + ".dll";
      const std::string found = FindFile(localeDirectory_, fileName);
      HMODULE module = nullptr;
      if (!found.empty()) {
        module = LoadLibraryA(found.c_str());
      } else {
        // Not below "\Locale": only the host's own folder and the system
        // folder, never the current folder or PATH, where anybody might have
        // put a library of that name.
        module = LoadLibraryExA(fileName.c_str(), nullptr,
                                LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
      }
      if (module != nullptr) {
        module_.Reset(module);
        language_ = language;
        return;
      }
      if (GetLastError() != ERROR_SUCCESS) error = GetLastError();
    }
  }
  const std::string description = "Resource DLL '" + baseName + "." + language + "' are missing or can't be loaded";
  throw HRXEx(
      Error::FromHResult(ErrorCategory::Configuration, HRESULT_FROM_WIN32(error), description, std::string()));
}

HMODULE ResourceLibrary::Module() {
  CsLock guard(lock_);
  return module_.Get();
}

std::string ResourceLibrary::Language() {
  CsLock guard(lock_);
  return language_;
}

void LoadLocaleLibrary(const std::string& language) {
  ResourceLibrary::Instance().Load(kResourceBaseName, language);
  TLOGF(0, "Locale \"%s\" has been loaded.", language.c_str());
}

std::string FindFile(const std::string& directory, const std::string& fileName) {
  WIN32_FIND_DATAA data;
  {
    UniqueFindHandle direct(FindFirstFileA((directory + "\\" + fileName).c_str(), &data));
    if (direct) return directory + "\\" + data.cFileName;
  }
  UniqueFindHandle entries(FindFirstFileA((directory + "\\*.*").c_str(), &data));
  if (!entries) return std::string();
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    const std::string path = directory + "\\" + name;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    // A junction back up the tree would make the search endless.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    std::string found = FindFile(path, fileName);
    if (!found.empty()) return found;
  } while (FindNextFileA(entries.Get(), &data));
  return std::string();
}

}  // namespace talverin
