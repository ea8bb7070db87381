#pragma once
// Points the configuration-store test bed (registered in the test prefix as
// the FPC root class) at a configuration and a web filters file of the test's
// own, and restores the environment afterwards.
#include <windows.h>

#include <string>

#include "support/test_files.h"

namespace talverin::test {

class StoreTestBed {
 public:
  StoreTestBed() {
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", ConfigPath().c_str());
    SetEnvironmentVariableA("TALVERIN_STORE_FILTERS", FiltersPath().c_str());
    SetEnvironmentVariableA("TALVERIN_STORE_FAULTS", nullptr);
    WriteConfig("");
  }
  ~StoreTestBed() {
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", nullptr);
    SetEnvironmentVariableA("TALVERIN_STORE_FILTERS", nullptr);
    SetEnvironmentVariableA("TALVERIN_STORE_FAULTS", nullptr);
  }

  void WriteConfig(const std::string& text) { WriteFileText(ConfigPath(), text); }
  void SetFaults(const std::string& faults) { SetEnvironmentVariableA("TALVERIN_STORE_FAULTS", faults.c_str()); }
  std::string SavedFilters() const { return ReadFileText(FiltersPath()); }
  bool FiltersSaved() const { return FileExists(FiltersPath()); }
  std::string ConfigPath() const { return dir_.Sub("fpc_store.conf"); }
  std::string FiltersPath() const { return dir_.Sub("fpc_store_filters.txt"); }

 private:
  ScratchDir dir_;
};

}  // namespace talverin::test
