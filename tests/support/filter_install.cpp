#include "support/filter_install.h"

#include <windows.h>

#include <cstdlib>

namespace talverin::test {

std::string BuiltFilterDir() { return TALVERIN_FILTER_BUILD_DIR; }

FilterInstall::FilterInstall(bool withLocale) {
  if (const char* installed = std::getenv("TALVERIN_FILTER_UNDER_TEST"); installed && *installed) {
    installed_ = installed;
    ok_ = true;
    return;
  }
  const std::string built = BuiltFilterDir();
  ok_ = MakeDir(dir_.Sub("Logs")) &&
        CopyFileA((built + "\\TALVERIN.ISA.Filter.dll").c_str(), dllPath().c_str(), FALSE);
  if (ok_ && withLocale) {
    ok_ = MakeDir(localeDir()) && CopyFileA((built + "\\Locale\\talverin.isa.filter.en.dll").c_str(),
                                            (localeDir() + "\\talverin.isa.filter.en.dll").c_str(), FALSE);
  }
}

}  // namespace talverin::test
