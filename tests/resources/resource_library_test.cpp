#include "resources/resource_library.h"

#include <gtest/gtest.h>

#include "config/trace_capture.h"
#include "stub/errors.h"
#include "support/test_files.h"

namespace talverin {
namespace {

// The English library the build makes, copied beside this test.
std::string BuiltLibrary() { return test::ExeDir() + "talverin.isa.filter.en.dll"; }

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, MAX_PATH);
  return path;
}

bool IsLoaded(const std::string& path) { return GetModuleHandleA(path.c_str()) != nullptr; }

class ResourceLibraryTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::FileExists(BuiltLibrary())) << BuiltLibrary(); }

  // Places a copy of the library under Locale, in the given subfolder.
  std::string Install(const std::string& subfolder, const std::string& language) {
    std::string folder = locale_;
    test::MakeDir(folder);
    if (!subfolder.empty()) {
      folder += "\\" + subfolder;
      test::MakeDir(folder);
    }
    std::string path = folder + "\\talverin.isa.filter." + language + ".dll";
    EXPECT_TRUE(CopyFileA(BuiltLibrary().c_str(), path.c_str(), FALSE));
    return path;
  }

  HRXEx LoadFailing(ResourceLibrary& library, const std::string& language) {
    try {
      library.Load(kResourceBaseName, language);
    } catch (const HRXEx& e) {
      return e;
    }
    ADD_FAILURE() << "no HRXEx for '" << language << "'";
    return HRXEx{};
  }

  test::ScratchDir dir_;
  std::string locale_ = dir_.Sub("Locale");
};

TEST_F(ResourceLibraryTest, LoadsTheLibraryDirectlyInLocale) {
  const std::string path = Install("", "nl");
  ResourceLibrary library(locale_);
  library.Load(kResourceBaseName, "nl");
  ASSERT_NE(library.Module(), nullptr);
  EXPECT_TRUE(IsLoaded(path));
  EXPECT_EQ(library.Language(), "nl");
}

TEST_F(ResourceLibraryTest, FindsTheLibraryInASubfolder) {
  Install("other", "xx");
  const std::string path = Install("de", "de");
  ResourceLibrary library(locale_);
  library.Load(kResourceBaseName, "de");
  EXPECT_TRUE(IsLoaded(path));
}

TEST_F(ResourceLibraryTest, DirectHitWinsOverASubfolder) {
  const std::string nested = Install("a", "fr");
  const std::string direct = Install("", "fr");
  ResourceLibrary library(locale_);
  library.Load(kResourceBaseName, "fr");
  EXPECT_EQ(ModulePath(library.Module()), direct);
  EXPECT_FALSE(IsLoaded(nested));
}

TEST_F(ResourceLibraryTest, MissingLibraryFailsWithItsName) {
  test::MakeDir(locale_);
  ResourceLibrary library(locale_);
  const HRXEx e = LoadFailing(library, "pt");
  EXPECT_EQ(e.description, "Resource DLL 'talverin.isa.filter.pt' are missing or can't be loaded");
  EXPECT_EQ(e.errorText, "");
  EXPECT_EQ(e.hr, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
}

TEST_F(ResourceLibraryTest, MissingLocaleFolderIsNotAnErrorOfItsOwn) {
  ResourceLibrary library(dir_.Sub("NoSuchFolder"));
  EXPECT_TRUE(FAILED(LoadFailing(library, "pt").hr));
}

TEST_F(ResourceLibraryTest, EmptyLanguageFails) {
  Install("", "en");
  ResourceLibrary library(locale_);
  const HRXEx e = LoadFailing(library, "");
  EXPECT_EQ(e.description, "Resource DLL 'talverin.isa.filter.' are missing or can't be loaded");
  EXPECT_TRUE(FAILED(e.hr));
}

TEST_F(ResourceLibraryTest, FileThatIsNoLibraryFails) {
  test::MakeDir(locale_);
  test::WriteFileText(locale_ + "\\talverin.isa.filter.it.dll", "not a library");
  ResourceLibrary library(locale_);
  const HRXEx e = LoadFailing(library, "it");
  EXPECT_EQ(e.description, "Resource DLL 'talverin.isa.filter.it' are missing or can't be loaded");
  EXPECT_TRUE(FAILED(e.hr));
  EXPECT_NE(e.hr, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
}

TEST_F(ResourceLibraryTest, EveryLoadFreesThePreviousLibrary) {
  const std::string first = Install("", "sv");
  const std::string second = Install("x", "da");
  ResourceLibrary library(locale_);
  library.Load(kResourceBaseName, "sv");
  library.Load(kResourceBaseName, "da");
  EXPECT_FALSE(IsLoaded(first));
  EXPECT_TRUE(IsLoaded(second));
  LoadFailing(library, "missing");
  EXPECT_FALSE(IsLoaded(second));
  EXPECT_EQ(library.Module(), nullptr);
}

TEST_F(ResourceLibraryTest, DestructionFreesTheLibrary) {
  const std::string path = Install("", "fi");
  {
    ResourceLibrary library(locale_);
    library.Load(kResourceBaseName, "fi");
    ASSERT_TRUE(IsLoaded(path));
  }
  EXPECT_FALSE(IsLoaded(path));
}

TEST_F(ResourceLibraryTest, CurrentFolderIsNotSearched) {
  test::MakeDir(locale_);
  const std::string planted = dir_.Sub("talverin.isa.filter.zz.dll");
  ASSERT_TRUE(CopyFileA(BuiltLibrary().c_str(), planted.c_str(), FALSE));
  char previous[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, previous);
  SetCurrentDirectoryA(dir_.path().c_str());
  ResourceLibrary library(locale_);
  const HRXEx e = LoadFailing(library, "zz");
  SetCurrentDirectoryA(previous);
  EXPECT_TRUE(FAILED(e.hr));
  EXPECT_FALSE(IsLoaded(planted));
}

// The process-wide library looks below the "Locale" folder beside this
// module, where the build put the English library.
TEST(LocaleLibraryTest, LoadsTheConfiguredLanguageAndLogsIt) {
  test::TraceCapture trace(0);
  LoadLocaleLibrary("en");
  HMODULE module = ResourceLibrary::Instance().Module();
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(ModulePath(module), test::ExeDir() + "Locale\\talverin.isa.filter.en.dll");
  EXPECT_TRUE(trace.Has("Locale \"en\" has been loaded."));
  // The library carries the product's version resource.
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16)), nullptr);

  EXPECT_THROW(LoadLocaleLibrary(""), HRXEx);
  EXPECT_EQ(ResourceLibrary::Instance().Module(), nullptr);
  EXPECT_FALSE(trace.Has("Locale \"\" has been loaded."));
}

TEST(FindFileTest, SearchesDepthFirstAndReportsMisses) {
  test::ScratchDir dir;
  test::MakeDir(dir.Sub("a"));
  test::MakeDir(dir.Sub("a\\b"));
  test::WriteFileText(dir.Sub("a\\b\\target.txt"), "x");
  EXPECT_EQ(FindFile(dir.path(), "target.txt"), dir.Sub("a\\b\\target.txt"));
  EXPECT_EQ(FindFile(dir.path(), "other.txt"), "");
  EXPECT_EQ(FindFile(dir.Sub("missing"), "target.txt"), "");
}

}  // namespace
}  // namespace talverin
