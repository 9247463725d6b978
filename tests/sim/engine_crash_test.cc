// A real keystone-engine on the simulated applet, killed with SIGKILL at random points while it
// replaces the policy's sealed files, again and again. After every kill each stored file must be
// the version from before the change or a whole new blob of the applet's making, and the restarted
// engine must read the policy back.

#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/applet/sealing.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"

namespace kilnsim::testing {
namespace {

namespace stdfs = std::filesystem;
using keystone::testing::EngineProcess;
using keystone::testing::kEngineBinary;
using keystone::testing::kKeystonectlBinary;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kBudget = 8s;  // sanitized engines start several times slower
#else
constexpr auto kBudget = 4s;
#endif
constexpr int kMaxCycles = 60;
constexpr int kMinCycles = 10;
// On a loaded machine the budget may end before enough kills: the loop goes on until this.
constexpr auto kHardLimit = 120s;
// A policy change replaces three files; each replacement creates, writes and renames.
constexpr int kEventsPerChange = 9;

using keystone::testing::ReadFileText;

// The stored files by name.
std::map<std::string, std::string> Snapshot(const std::string& data) {
  std::map<std::string, std::string> files;
  for (const auto& entry : stdfs::directory_iterator(data)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.ends_with(".SDS")) files[name] = ReadFileText(entry.path().string());
  }
  return files;
}

class EngineCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*kEngineBinary || !*kKeystonectlBinary) GTEST_SKIP() << "the programs were not built";
    if (::geteuid() != 0) GTEST_SKIP() << "setting a policy needs a root client";
  }

  std::vector<std::string> PolicySet(int revision) const {
    return {"applet", "policy",   "set", "--factor", "pin:1:PIN " + std::to_string(revision),
            "--action", "OSLogin=pin"};
  }

  // The sealing key the applet's blobs of security version svn open with.
  SealingKey KeyFor(uint32_t svn) const {
    const std::string key = ReadFileText(engine.KilnDir() + "/device.key");
    SealingKey deviceKey{};
    if (key.size() != deviceKey.size()) return deviceKey;
    std::copy(key.begin(), key.end(), deviceKey.begin());
    return DeriveSealingKey(deviceKey, svn);
  }

  // Empty when the file is the old version or a whole blob sealed for its name; else what is wrong.
  std::string Judge(const std::string& name, const std::string& content,
                    const std::map<std::string, std::string>& before) const {
    const auto old = before.find(name);
    if (old != before.end() && old->second == content) return {};
    const std::span<const uint8_t> blob(reinterpret_cast<const uint8_t*>(content.data()),
                                        content.size());
    const std::string logicalName = name.substr(0, name.size() - 4);
    try {
      OpenBlob(KeyFor(PeekBlobHeader(blob).svn), logicalName, blob);
      return {};
    } catch (const std::exception& e) {
      return name + " (" + std::to_string(content.size()) + " bytes) is neither the old version " +
             "nor a whole new one: " + e.what();
    }
  }

  EngineProcess engine{kEngineBinary, kKeystonectlBinary};
};

TEST_F(EngineCrashTest, KillDuringSealedFileWritesLeavesNoTornFile) {
  ASSERT_TRUE(engine.Start());
  ASSERT_EQ(engine.Ctl(PolicySet(0)).exitCode, 0);
  const std::string data = engine.StateDir() + "/Data";
  std::map<std::string, std::string> before = Snapshot(data);
  ASSERT_EQ(before.size(), 3u);

  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, data.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO), 0);
  const auto drain = [&] {
    alignas(inotify_event) char buffer[4096];
    int events = 0;
    for (ssize_t n; (n = ::read(watch, buffer, sizeof(buffer))) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        ++events;
      }
    }
    return events;
  };

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const auto start = std::chrono::steady_clock::now();
  int cycles = 0;
  int filesChecked = 0;
  std::set<std::string> interrupted;  // temporaries of replacements a kill cut short
  const auto goOn = [&] {
    const auto spent = std::chrono::steady_clock::now() - start;
    if (cycles >= kMaxCycles || spent >= kHardLimit) return false;
    return spent < kBudget || cycles < kMinCycles || interrupted.empty();
  };
  for (; goOn(); ++cycles) {
    drain();
    const int killAfter = std::uniform_int_distribution<int>(1, kEventsPerChange)(random);
    const auto jitter = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 300)(random));
    const pid_t client = keystone::testing::SpawnProgram(kKeystonectlBinary, PolicySet(cycles + 1),
                                                         engine.Env(),
                                                         engine.Root() + "/client.log");
    // The kill point: the chosen event of the change, or the change's end if it has fewer.
    int seen = 0;
    for (int status = 0; seen < killAfter && ::waitpid(client, &status, WNOHANG) == 0;) {
      pollfd entry{watch, POLLIN, 0};
      if (::poll(&entry, 1, 5) > 0) seen += drain();
    }
    std::this_thread::sleep_for(jitter);
    engine.Kill();
    keystone::testing::WaitForExit(client, 10s);

    for (const auto& entry : stdfs::directory_iterator(data)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(".replace-")) {
        interrupted.insert(name);
        continue;
      }
      ASSERT_EQ(Judge(name, ReadFileText(entry.path().string()), before), "") << "cycle " << cycles;
      ++filesChecked;
    }
    for (const auto& [name, content] : before) {
      ASSERT_TRUE(stdfs::exists(data + "/" + name)) << name << " lost in cycle " << cycles;
    }

    ASSERT_TRUE(engine.Start());
    const auto read = engine.Ctl({"applet", "policy", "get"});
    ASSERT_EQ(read.exitCode, 0) << "cycle " << cycles << ": " << read.out << read.err;
    ASSERT_NE(read.out.find("messageType = 0xabba0066"), std::string::npos) << read.out;
    before = Snapshot(data);
  }
  std::printf("%d kills during policy changes, %d files checked, %zu kills inside a file's "
              "replacement\n",
              cycles, filesChecked, interrupted.size());
  RecordProperty("cycles", cycles);
  RecordProperty("files_checked", filesChecked);
  EXPECT_GE(cycles, kMinCycles);
  EXPECT_FALSE(interrupted.empty()) << "no kill landed inside a replacement";
  ::close(watch);

  // The running engine removed what its killed predecessors left.
  EXPECT_TRUE(keystone::testing::Eventually([&] {
    return std::ranges::none_of(stdfs::directory_iterator(data), [](const auto& entry) {
      return entry.path().filename().string().starts_with(".replace-");
    });
  }));
  EXPECT_EQ(engine.Stop(), 0);
}

}  // namespace
}  // namespace kilnsim::testing
