#include "resources/resource_library.h"

#include <gtest/gtest.h>

#include "stub/errors.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

std::string BuiltLibrary() { return test::ExeDir() + "Locale\\talverin.isa.filter.en.dll"; }
bool IsLoaded(const std::string& path) { return GetModuleHandleA(path.c_str()) != nullptr; }
bool LoadedFrom(HMODULE module, const std::string& path) { return module && module == GetModuleHandleA(path.c_str()); }

class ResourceLibraryTest : public testing::Test {
 protected:
  // A copy of the built library in `folder`, Locale or one below it.
  std::string Install(const std::string& folder, const std::string& language) {
    test::MakeDir(locale_);
    test::MakeDir(folder);
    const std::string path = folder + "\\talverin.isa.filter." + language + ".dll";
    EXPECT_TRUE(CopyFileA(BuiltLibrary().c_str(), path.c_str(), FALSE)) << BuiltLibrary();
    return path;
  }
  HRESULT LoadFailing(const std::string& language) {
    try {
      library_.Load(kResourceBaseName, language);
    } catch (const HRXEx& e) {
      EXPECT_EQ(e.text, "Resource DLL 'talverin.isa.filter." + language + "' are missing or can't be loaded");
      EXPECT_TRUE(FAILED(e.hr) && e.errorText.empty()) << language;
      EXPECT_EQ(e.category, talverin::ErrorCategory::Configuration);  // the installation's fault, not the back end's
      EXPECT_EQ(library_.Module(), nullptr);
      return e.hr;
    }
    ADD_FAILURE() << "no HRXEx for '" << language << "'";
    return S_OK;
  }

  test::ScratchDir dir_;
  std::string locale_ = dir_.Sub("Locale");
  ResourceLibrary library_{locale_};
};

// Directly in Locale first, else the first hit below it; every load frees the library loaded before, and so does
// the end of the object. A failure names the library asked for; the current folder is never searched.
TEST_F(ResourceLibraryTest, FindsTheLibraryHoldsOneAtATimeAndFailsWithItsName) {
  LoadFailing("fr");  // no Locale folder at all
  const std::string nested = Install(locale_ + "\\a", "fr"), direct = Install(locale_, "fr");
  const std::string other = Install(locale_ + "\\x", "da");
  library_.Load(kResourceBaseName, "fr");
  EXPECT_TRUE(LoadedFrom(library_.Module(), direct));
  EXPECT_FALSE(IsLoaded(nested));
  library_.Load(kResourceBaseName, "da");
  EXPECT_FALSE(IsLoaded(direct));
  EXPECT_TRUE(LoadedFrom(library_.Module(), other));
  EXPECT_EQ(LoadFailing("pt"), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(IsLoaded(other));
  ResourceLibrary(locale_).Load(kResourceBaseName, "fr");  // loaded as above, freed with the object
  EXPECT_FALSE(IsLoaded(direct));
  LoadFailing("");
  test::WriteFileText(locale_ + "\\talverin.isa.filter.it.dll", "not a library");
  EXPECT_NE(LoadFailing("it"), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  const std::string planted = Install(dir_.path(), "zz");
  SetCurrentDirectoryA(dir_.path().c_str());
  LoadFailing("zz");
  SetCurrentDirectoryA(test::ExeDir().c_str());  // out of the scratch folder, which goes with the test
  EXPECT_FALSE(IsLoaded(planted));
}

// Below the "Locale" folder beside this module, where the build copied the English library.
TEST(LocaleLibraryTest, LoadsTheConfiguredLanguageAndLogsIt) {
  test::TraceCapture trace(0);
  LoadLocaleLibrary("en");
  HMODULE module = ResourceLibrary::Instance().Module();
  EXPECT_TRUE(LoadedFrom(module, BuiltLibrary()));
  EXPECT_TRUE(trace.Has("Locale \"en\" has been loaded."));
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16)), nullptr) << "no version resource";
  EXPECT_THROW(LoadLocaleLibrary(""), HRXEx);
  EXPECT_FALSE(trace.Has("Locale \"\" has been loaded."));
}

}  // namespace
}  // namespace talverin
