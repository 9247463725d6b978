#include "applet/kiln_library.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "platform/registry.h"
#include "platform/shared_library.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;
using keystone::testing::MemoryRegistry;

// A library every system has that exports none of the KILN functions.
constexpr char kForeignLibrary[] = "libm.so.6";

class KilnLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    keystone::testing::EnableEngineLog();
  }
  void TearDown() override { capture->Uninstall(); }

  std::shared_ptr<LogCapture> capture;
};

TEST_F(KilnLibraryTest, MissingFileIsReportedOnFirstUseNotAtConstruction) {
  SharedKilnLibrary library("/nonexistent/libkiln-none.so");
  KILN_HANDLE handle = nullptr;
  try {
    library.Initialize(&handle, nullptr, 0);
    FAIL() << "loaded";
  } catch (const KilnLibraryException& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("/nonexistent/libkiln-none.so"), std::string::npos) << text;
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;  // the loader's reason
    EXPECT_EQ(e.Context(), "/nonexistent/libkiln-none.so");
  }
  EXPECT_TRUE(capture->Contains("KILN library unavailable: cannot load library /nonexistent"));
  // Every use tries again.
  EXPECT_THROW(library.Load(), KilnLibraryException);
}

TEST_F(KilnLibraryTest, MissingFunctionNamesTheSymbol) {
  SharedKilnLibrary library(kForeignLibrary);
  try {
    library.Load();
    FAIL() << "loaded";
  } catch (const KilnLibraryException& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("does not export KILN_Initialize"), std::string::npos) << text;
    EXPECT_NE(text.find(kForeignLibrary), std::string::npos) << text;
  }
}

TEST_F(KilnLibraryTest, RegistryValueChoosesTheLibraryElseTheExecutableDirectory) {
  MemoryRegistry registry;
  const std::string fallback =
      platform::ExecutableDirectory() + "/" + std::string(kDefaultKilnLibraryName);
  EXPECT_EQ(ConfiguredKilnLibraryPath(registry), fallback);
  platform::WriteRegistryValue(registry, keystone::kEngineKey, kKilnLibraryPathValue,
                               platform::RegValue::String(""));
  EXPECT_EQ(ConfiguredKilnLibraryPath(registry), fallback);
  platform::WriteRegistryValue(registry, keystone::kEngineKey, kKilnLibraryPathValue,
                               platform::RegValue::String("/opt/vendor/libkiln.so"));
  EXPECT_EQ(ConfiguredKilnLibraryPath(registry), "/opt/vendor/libkiln.so");

  // The value is read when the library is first needed, not when the object is made.
  SharedKilnLibrary library(registry);
  platform::WriteRegistryValue(registry, keystone::kEngineKey, kKilnLibraryPathValue,
                               platform::RegValue::String(kForeignLibrary));
  EXPECT_EQ(library.LibraryPath(), kForeignLibrary);
  EXPECT_THROW(library.Load(), KilnLibraryException);
}

TEST_F(KilnLibraryTest, ExecutableDirectoryHoldsThisTest) {
  const std::filesystem::path directory = platform::ExecutableDirectory();
  EXPECT_TRUE(std::filesystem::exists(directory / "applet_tests"));
}

#ifdef KILN_SIM_LIBRARY
TEST_F(KilnLibraryTest, SimulatedAppletResolvesAllFunctions) {
  SharedKilnLibrary library(KILN_SIM_LIBRARY);
  EXPECT_NO_THROW(library.Load());
  EXPECT_EQ(library.LibraryPath(), KILN_SIM_LIBRARY);
}
#endif

}  // namespace
}  // namespace mfab
