#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include "support/test_files.h"

namespace talverin {
namespace {

TEST(LogFilePathTest, LogsFolderBesideModuleWithoutExtension) {
  std::string path;
  ASSERT_TRUE(ComputeLogFilePath("C:\\Filters\\talverin.isa.filter.dll", path));
  EXPECT_EQ(path, "C:\\Filters\\Logs\\talverin.isa.filter.log");
}

}  // namespace
}  // namespace talverin
