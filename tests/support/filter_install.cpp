#include "support/filter_install.h"

#include <windows.h>

#include <cstdlib>

namespace talverin::test {

std::string BuiltFilterDir() { return TALVERIN_FILTER_BUILD_DIR; }

FilterInstall::FilterInstall(bool withLocale) {
  const char* installed = std::getenv("TALVERIN_FILTER_UNDER_TEST");
  installed_ = installed ? installed : "";
  const auto copy = [&](const std::string& name) {
    return CopyFileA((BuiltFilterDir() + "\\" + name).c_str(), Sub(name.c_str()).c_str(), FALSE) != FALSE;
  };
  ok_ = !installed_.empty() || (MakeDir(dir_.Sub("Logs")) && copy("TALVERIN.ISA.Filter.dll") &&
                                (!withLocale || (MakeDir(localeDir()) && copy("Locale\\talverin.isa.filter.en.dll"))));
}

}  // namespace talverin::test
