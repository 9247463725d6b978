// The install rules and the package: a staged install's layout, the staged engine running from
// there with the simulated applet it finds on its own, and the .deb's contents and control
// fields when `make package` has built one.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/ble_bridge_loader.h"
#include "platform/signed_file_verifier.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"

namespace {

using keystone::testing::ProgramResult;
using keystone::testing::RunProgram;
namespace fs = std::filesystem;

// The prefix's part of a staged path ("/usr" gives "usr/").
std::string Under(const std::string& relative) {
  std::string prefix = KEYSTONE_PREFIX;
  while (!prefix.empty() && prefix.front() == '/') prefix.erase(0, 1);
  return (prefix.empty() ? "" : prefix + "/") + relative;
}

class InstallTest : public ::testing::Test {
 protected:
  // Installs the build tree into a staging directory once for the suite.
  static void SetUpTestSuite() {
    const ProgramResult result =
        RunProgram(KEYSTONE_CMAKE, {"--install", KEYSTONE_BUILD_DIR},
                   {.env = {{"DESTDIR", Stage()}}, .limit = std::chrono::seconds(120)});
    installOutput = result.out + result.err;
    installed = result.exitCode == 0;
  }
  static std::string Stage() {
    static keystone::testing::TempDirectory dir;
    return dir.File("stage");
  }
  void SetUp() override { ASSERT_TRUE(installed) << installOutput; }
  static std::string Staged(const std::string& relative) { return Stage() + "/" + relative; }

  static inline bool installed = false;
  static inline std::string installOutput;
};

TEST_F(InstallTest, EveryPartLandsWhereDebianExpectsIt) {
  const struct {
    std::string path;
    mode_t mode;  // 0: any
  } rows[] = {
      {Under(KEYSTONE_SBINDIR "/keystone-engine"), 0755},
      {Under(KEYSTONE_BINDIR "/keystonectl"), 0755},
      {Under(KEYSTONE_BINDIR "/keystone-phone-sim"), 0755},
      {Under(KEYSTONE_LIBDIR "/libkiln-sim.so"), 0},
      {Under(KEYSTONE_LIBDIR "/libkeystone-client.a"), 0644},
      {Under(KEYSTONE_LIBDIR "/pkgconfig/keystone-client.pc"), 0644},
      {Under("include/keystone/rpc/client/client.h"), 0644},
      {Under("include/keystone/rpc/protocol.h"), 0644},
      {"lib/systemd/system/keystone-engine.service", 0644},
      {Under("share/doc/keystone-engine/README.md"), 0644},
      {Under("share/doc/keystone-engine/service-host.md"), 0644},
      {Under("share/doc/keystone-engine/health-view.md"), 0644},
      {Under("share/doc/keystone-engine/copyright"), 0644},
      {Under("share/doc/keystone-engine/changelog.Debian.gz"), 0644},
      {Under("share/man/man8/keystone-engine.8.gz"), 0644},
      {Under("share/man/man1/keystonectl.1.gz"), 0644},
  };
  for (const auto& row : rows) {
    struct stat st {};
    ASSERT_EQ(::stat(Staged(row.path).c_str(), &st), 0) << row.path;
    if (row.mode != 0) {
      EXPECT_EQ(st.st_mode & 07777, row.mode) << row.path;
    }
  }
  // The unit starts the engine where it was installed.
  const std::string unit =
      keystone::testing::ReadFileText(Staged("lib/systemd/system/keystone-engine.service"));
  EXPECT_NE(unit.find("ExecStart=" + std::string(KEYSTONE_PREFIX) + "/" KEYSTONE_SBINDIR
                      "/keystone-engine\n"),
            std::string::npos);
  // Every header the client header includes is installed beside it.
  const ProgramResult compile = RunProgram(
      "/usr/bin/g++", {"-std=c++20", "-fsyntax-only", "-I" + Staged(Under("include/keystone")),
                       "-x", "c++", "-"},
      {.input = "#include \"rpc/client/client.h\"\nint main() {}\n"});
  EXPECT_EQ(compile.exitCode, 0) << compile.err;
}

// The bridges ship signed over their installed (stripped) bytes by the build's signer, whose
// certificate ships too: trusting its thumbprint is all an administrator does to let them load.
TEST_F(InstallTest, BridgesAreInstalledSignedByTheBuildsSigner) {
  const std::string signer = Staged(Under("share/keystone-engine/bridge-signer.crt"));
  ASSERT_TRUE(fs::is_regular_file(signer));
  const std::string thumbprint = keystone::testing::ThumbprintOf(signer);
  EXPECT_EQ(thumbprint, keystone::testing::ThumbprintOf(KEYSTONE_TEST_SIGNER_CERT));
  // The BlueZ bridge lies where the engine looks without BleBridgeDirectory (beside itself),
  // under the name it loads on Linux.
  for (const std::string& path :
       {Under(KEYSTONE_SBINDIR "/" + std::string(mfab::kGatt10Rs2BridgeFile)),
        Under(KEYSTONE_LIBDIR "/libkeystone-sim-ble-bridge.so")}) {
    SCOPED_TRACE(path);
    struct stat st {};
    ASSERT_EQ(::stat(Staged(path + ".sig").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    const std::vector<std::string> trusted{thumbprint};
    try {
      const platform::VerifiedFile verified =
          platform::CreateSignedFileVerifier()->Verify(Staged(path), trusted);
      EXPECT_EQ(verified.SignerThumbprint(), thumbprint);
    } catch (const platform::UntrustedFileError& e) {
      ADD_FAILURE() << "refused: " << platform::UntrustedReasonName(e.Reason());
    }
  }
}

TEST_F(InstallTest, StagedEngineFindsTheSimulatedAppletItself) {
  keystone::testing::EngineProcess engine(Staged(Under(KEYSTONE_SBINDIR "/keystone-engine")),
                                          Staged(Under(KEYSTONE_BINDIR "/keystonectl")));
  ASSERT_TRUE(engine.Start());
  // The applet answered through the library once the firmware it reported is recorded.
  ProgramResult status;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do {
    status = engine.Ctl({"status", "--json"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
  } while (status.out.find("\"kiln.firmware\":\"") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(std::chrono::milliseconds(20)), true));
  EXPECT_NE(status.out.find("\"kiln.firmware\":\""), std::string::npos) << status.out;
  const std::string key = "\"kiln.library\":\"";
  const size_t at = status.out.find(key);
  ASSERT_NE(at, std::string::npos) << status.out;
  const size_t begin = at + key.size();
  EXPECT_EQ(fs::weakly_canonical(status.out.substr(begin, status.out.find('"', begin) - begin)),
            fs::weakly_canonical(Staged(Under(KEYSTONE_LIBDIR "/libkiln-sim.so"))));
  EXPECT_EQ(engine.Stop(), 0);
}

// The package `make package` left in the build tree; none when it was not built.
std::string BuiltPackage() {
  for (const auto& entry : fs::directory_iterator(KEYSTONE_BUILD_DIR)) {
    const std::string name = entry.path().filename();
    if (name.rfind("keystone-engine_" KEYSTONE_VERSION "-", 0) == 0 &&
        entry.path().extension() == ".deb") {
      return entry.path();
    }
  }
  return "";
}

// Whether something in the build's bin/ changed after the package was made: such a package
// describes an older tree, and checking it would only report the rebuild.
bool Stale(const std::string& package) {
  const fs::file_time_type built = fs::last_write_time(package);
  for (const auto& entry : fs::directory_iterator(KEYSTONE_BUILD_DIR "/bin")) {
    if (entry.is_regular_file() && entry.last_write_time() > built) return true;
  }
  return false;
}

TEST(PackageTest, PackageCarriesTheInstallAndItsControlFields) {
  const std::string package = BuiltPackage();
  if (package.empty()) GTEST_SKIP() << "no package built (make package)";
  if (Stale(package)) GTEST_SKIP() << package << " is older than the build (make package)";
  const auto field = [&](const std::string& name) {
    const ProgramResult r = RunProgram("/usr/bin/dpkg-deb", {"-f", package, name});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(field("Package"), "keystone-engine\n");
  EXPECT_EQ(field("Version"), KEYSTONE_VERSION "-1\n");
  // From the binaries' real links, not a hand-written list, and the packages of the libraries
  // the engine loads at their first use (which no link shows).
  const std::string depends = field("Depends");
  for (const char* dependency :
       {"libc6", "libsqlite3-0", "libssl3", "libsystemd0", "systemd", "libcurl4", "libldap"}) {
    EXPECT_NE(depends.find(dependency), std::string::npos) << dependency << " in " << depends;
  }
  const ProgramResult contents = RunProgram("/usr/bin/dpkg-deb", {"-c", package});
  ASSERT_EQ(contents.exitCode, 0) << contents.err;
  for (const std::string& path :
       {"./" + Under(KEYSTONE_SBINDIR "/keystone-engine"), "./" + Under(KEYSTONE_BINDIR "/keystonectl"),
        "./" + Under(KEYSTONE_BINDIR "/keystone-phone-sim"),
        "./" + Under(KEYSTONE_LIBDIR "/libkiln-sim.so"), std::string("./lib/systemd/system/keystone-engine.service"),
        "./" + Under(KEYSTONE_SBINDIR "/libkeystone-gatt10rs2.so"),
        "./" + Under(KEYSTONE_SBINDIR "/libkeystone-gatt10rs2.so.sig"),
        "./" + Under(KEYSTONE_LIBDIR "/libkeystone-sim-ble-bridge.so.sig"),
        "./" + Under("share/man/man8/keystone-engine.8.gz")}) {
    EXPECT_NE(contents.out.find(path + "\n"), std::string::npos) << path;
  }
  // The package's bridges were stripped after the build signed them: their signatures are the
  // install's own, over the bytes that ship.
  keystone::testing::TempDirectory unpacked;
  ASSERT_EQ(RunProgram("/usr/bin/dpkg-deb", {"-x", package, unpacked.Path()}).exitCode, 0);
  const std::vector<std::string> trusted{
      keystone::testing::ThumbprintOf(KEYSTONE_TEST_SIGNER_CERT)};
  for (const std::string& bridge : {Under(KEYSTONE_SBINDIR "/libkeystone-gatt10rs2.so"),
                                    Under(KEYSTONE_LIBDIR "/libkeystone-sim-ble-bridge.so")}) {
    try {
      platform::CreateSignedFileVerifier()->Verify(unpacked.File(bridge), trusted);
    } catch (const platform::UntrustedFileError& e) {
      ADD_FAILURE() << bridge << " refused: " << platform::UntrustedReasonName(e.Reason());
    }
  }
  keystone::testing::TempDirectory control;
  ASSERT_EQ(RunProgram("/usr/bin/dpkg-deb", {"-e", package, control.File("DEBIAN")}).exitCode, 0);
  EXPECT_NE(keystone::testing::ReadFileText(control.File("DEBIAN/postinst"))
                .find("systemctl enable keystone-engine.service"),
            std::string::npos);
  EXPECT_NE(keystone::testing::ReadFileText(control.File("DEBIAN/prerm"))
                .find("systemctl stop keystone-engine.service"),
            std::string::npos);
  // libkiln-sim.so is in the shared library directory, so the linker cache must follow.
  EXPECT_NE(keystone::testing::ReadFileText(control.File("DEBIAN/triggers"))
                .find("activate-noawait ldconfig"),
            std::string::npos);
  // lintian is a script, which the runner's fexecve cannot start itself.
  const ProgramResult lint =
      RunProgram("/usr/bin/env", {"lintian", "--tag-display-limit", "0", package}, {.limit = std::chrono::seconds(120)});
  EXPECT_EQ(lint.exitCode, 0) << lint.out << lint.err;
  EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;
}

}  // namespace
