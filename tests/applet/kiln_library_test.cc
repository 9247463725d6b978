#include "applet/kiln_library.h"

#include <gtest/gtest.h>

#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "platform/registry.h"
#include "platform/shared_library.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

// The reason each failed load gives; a load is tried again on every use.
TEST(KilnLibraryTest, FailedLoadNamesLibraryAndReasonOnEveryUse) {
  auto capture = keystone::testing::LogCapture::Install();
  keystone::testing::EnableEngineLog();
  SharedKilnLibrary missing("/nonexistent/libkiln-none.so");
  KILN_HANDLE handle = nullptr;
  try {
    missing.Initialize(&handle, nullptr, 0);
    ADD_FAILURE() << "loaded";
  } catch (const KilnLibraryException& e) {
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    EXPECT_EQ(e.Context(), "/nonexistent/libkiln-none.so");
  }
  EXPECT_TRUE(capture->Contains("KILN library unavailable: cannot load library /nonexistent"));
  EXPECT_THROW(missing.Load(), KilnLibraryException);
  capture->Uninstall();

  // A library every system has that exports none of the KILN functions.
  const std::string text = keystone::testing::ThrownText<KilnLibraryException>(
      [] { SharedKilnLibrary("libm.so.6").Load(); });
  EXPECT_NE(text.find("libm.so.6 does not export KILN_Initialize"), std::string::npos) << text;
}

// The configured path itself is loaded in the simulator's engine tests.
TEST(KilnLibraryTest, WithoutARegistryPathTheExecutableDirectoryIsUsedValueReadAtFirstUse) {
  keystone::testing::MemoryRegistry registry;
  SharedKilnLibrary library(registry);
  const std::string fallback = platform::ExecutableDirectory() + "/" + kDefaultKilnLibraryName;
  EXPECT_EQ(library.LibraryPath(), fallback);
  for (const char* path : {"", "libm.so.6"}) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, kKilnLibraryPathValue,
                                 platform::RegValue::String(path));
    EXPECT_EQ(library.LibraryPath(), *path ? path : fallback);
  }
  EXPECT_THROW(library.Load(), KilnLibraryException);
}

}  // namespace
}  // namespace mfab
