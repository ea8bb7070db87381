#pragma once
// The built filter laid out as installed (the DLL, Locale, an empty Logs) in a scratch folder of its own, so that
// each test reads its own trace log and dump; or the installed one TALVERIN_FILTER_UNDER_TEST names.
#include <string>

#include "support/test_files.h"

namespace talverin::test {

class FilterInstall {
 public:
  // withLocale false leaves the Locale folder out (a broken installation).
  explicit FilterInstall(bool withLocale = true);
  FilterInstall(const FilterInstall&) = delete;
  FilterInstall& operator=(const FilterInstall&) = delete;

  bool ok() const { return ok_; }
  const std::string& dir() const { return installed_.empty() ? dir_.path() : installed_; }
  std::string dllPath() const { return Sub("TALVERIN.ISA.Filter.dll"); }
  std::string logPath() const { return Sub("Logs\\TALVERIN.ISA.Filter.log"); }
  std::string dumpPath() const { return Sub("Logs\\TALVERIN.ISA.Filter.dll.dmp"); }
  std::string localeDir() const { return Sub("Locale"); }

 private:
  std::string Sub(const char* name) const { return dir() + "\\" + name; }

  ScratchDir dir_;
  std::string installed_;
  bool ok_ = false;
};

// Where the build puts the filter DLL and its Locale folder.
std::string BuiltFilterDir();

}  // namespace talverin::test
