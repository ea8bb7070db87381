#pragma once
// The resource library of the configured language, kept loaded from start-up
// (and each reload) until the next load or until the module is unloaded.
#include <windows.h>

#include <string>

#include "base/win.h"

namespace talverin {

// Base name of the resource libraries: "<base>.<language>.dll".
extern const char kResourceBaseName[];  // "talverin.isa.filter"

class ResourceLibrary {
 public:
  // The process-wide library, searched for below "<module dir>\Locale".
  static ResourceLibrary& Instance();

  // A library searched for below localeDirectory (tests, tools).
  explicit ResourceLibrary(std::string localeDirectory);
  ResourceLibrary(const ResourceLibrary&) = delete;
  ResourceLibrary& operator=(const ResourceLibrary&) = delete;
  ~ResourceLibrary();

  // Frees the loaded library, then loads "<baseName>.<language>.dll". Throws
  // HRXEx of category Configuration ("Resource DLL '<base>.<language>' are missing or can't be
  // loaded") when the language is empty or the library cannot be loaded; no
  // library is loaded afterwards.
  void Load(std::string baseName, std::string language);

  HMODULE Module();
  std::string Language();

 private:
  CriticalSection lock_;
  std::string localeDirectory_;
  UniqueModule module_;
  std::string language_;
};

// Loads the library of the language (the settings' "Language") into the
// process-wide instance and logs it; the work of the implementation's Init.
// Throws HRXEx like Load.
void LoadLocaleLibrary(const std::string& language);

// Depth-first search for fileName in directory and the folders below it; a
// direct hit wins over the subfolders. Returns the full path or an empty
// string. Junctions and symbolic links are not followed.
std::string FindFile(const std::string& directory, const std::string& fileName);

}  // namespace talverin
