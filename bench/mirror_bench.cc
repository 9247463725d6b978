// The registry mirror's cost on the SQLite store:
//  - "Update All" for a policy of 50 factors and 50 actions and 100 users (the applet's replies
//    canned, the user records resolved by a fake accounts facility, so the mirror is what is
//    measured), beside the same keys and values written plainly in one transaction (goal: at
//    most 1.5x);
//  - discovery kind 1 through the RPC server, beside a GetSessionIdRpc round trip on the same
//    server (interleaved in one run).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "flows/discovery_commands.h"
#include "log/logger.h"
#include "platform/account_names.h"
#include "platform/registry.h"
#include "rpc/client/client.h"
#include "rpc/engine_rpc_operations.h"
#include "rpc/server.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_controller.h"
#include "storage/user_records.h"
#include "tests/fakes/fake_mirroring_host.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/program_runner.h"
#include "bench/percentile.h"

namespace {

using Clock = std::chrono::steady_clock;
using mfab::Bytes;
namespace records = ::AuthenticateDataMirroring;

constexpr double kRatioGoal = 1.5;
constexpr int kUsers = 100;

std::string Numbered(const char* prefix, int i) {
  char text[16];
  std::snprintf(text, sizeof(text), "%s%02d", prefix, i);
  return text;
}

kilnsim::Policy BigPolicy(int factors, int actions) {
  kilnsim::Policy policy;
  for (int i = 0; i < factors; ++i) {
    policy.factors.push_back({Numbered("f", i), "Factor " + std::to_string(i), 1, true, false,
                              true, false, 30, 5,
                              {{"MinRssi", "-70"}, {"Retries", "3"}, {"Window", "15"}}});
  }
  for (int i = 0; i < actions; ++i) {
    const std::string a = Numbered("f", i % factors);
    const std::string b = Numbered("f", (i + 1) % factors);
    policy.actions.push_back(
        {Numbered("a", i), {{{a, {{"Grace", "10"}}}, {b, {{"Grace", "10"}}}}, {{b, {}}}}});
  }
  for (int i = 0; i < 10; ++i) policy.settings.push_back({Numbered("s", i), 1, {1, 2, 3, 4}});
  return policy;
}

std::string UserSid(int i) { return "S-1-5-21-1000-2000-3000-" + std::to_string(1000 + i); }

std::vector<kilnsim::UserData> ManyUsers() {
  std::vector<kilnsim::UserData> users;
  for (int i = 0; i < kUsers; ++i) {
    users.push_back({UserSid(i),
                     {{"f01", {{"IsEnrolled", "true"}, {"EnrolledAt", "1796518995"}}},
                      {"f02", {{"IsEnrolled", "true"}, {"EnrolledAt", "1796518995"}}}}});
  }
  return users;
}

// Every user is a local account with a full name; nothing blocks.
class InstantAccounts final : public platform::AccountNames {
 public:
  platform::SidLookup LookupSid(const std::string& sid, platform::SidAccount& account) override {
    account = {sid.substr(sid.rfind('-') + 1), "bench"};
    return platform::SidLookup::kFound;
  }
  std::string ComputerName() override { return "bench"; }
  std::string LocalUserFullName(const std::string& account) override { return "User " + account; }
  bool DirectoryReachable(std::chrono::milliseconds) override { return false; }
  std::optional<std::string> DirectoryDisplayName(const std::string&,
                                                  const std::string&) override {
    return std::nullopt;
  }
};

// The applet's canned replies; the user-record task runs at once on the asking thread.
class BenchHost final : public keystone::testing::FakeMirroringHost {
 public:
  void StartUserRecordTask() override {
    if (records) records->updateUserRecord();
  }
  mfab::UserRecords* records = nullptr;
};

// A mirror on a SQLite store in a directory of its own.
struct MirrorWorld {
  explicit MirrorWorld(int factors = 50, int actions = 50) {
    mfab::SetLogThreshold(mfab::LogSink::kService, 0);
    registry = platform::OpenRegistry(dir.File("registry.db"));
    controller = std::make_unique<mfab::DataController>(*registry, files);
    userRecords = std::make_unique<mfab::UserRecords>(*registry, accounts);
    host.records = userRecords.get();
    host.SetPolicy(keystone::testing::PolicyReply(BigPolicy(factors, actions)));
    host.SetUsers(keystone::testing::UserDataReply(ManyUsers()));
    mirroring = std::make_unique<mfab::AuthenticateDataMirroring>(*registry, *controller, host);
  }

  keystone::testing::TempDirectory dir;
  keystone::testing::MemoryFileSystem files;
  InstantAccounts accounts;
  BenchHost host;
  std::unique_ptr<platform::Registry> registry;
  std::unique_ptr<mfab::DataController> controller;
  std::unique_ptr<mfab::UserRecords> userRecords;
  std::unique_ptr<mfab::AuthenticateDataMirroring> mirroring;
};

// The mirror's keys and values, to write again plainly.
struct KeyValues {
  std::string path;
  std::vector<std::pair<std::string, platform::RegValue>> values;
};

void Collect(platform::Registry& registry, const std::string& path, std::vector<KeyValues>& out) {
  auto key = registry.OpenKey(path, platform::reg_access::kRead);
  KeyValues entry{path, {}};
  for (uint32_t i = 0; auto name = key->EnumValue(i); ++i) {
    entry.values.emplace_back(*name, *key->QueryValue(*name));
  }
  out.push_back(std::move(entry));
  std::vector<std::string> subkeys;
  for (uint32_t i = 0; auto name = key->EnumKey(i); ++i) subkeys.push_back(*name);
  for (const std::string& name : subkeys) Collect(registry, path + "\\" + name, out);
}

void BM_UpdateAll(benchmark::State& state) {
  MirrorWorld world;
  for (auto _ : state) world.mirroring->UpdateAll();
  std::vector<KeyValues> tree;
  Collect(*world.registry, records::MirrorPath(""), tree);
  size_t values = 0;
  for (const KeyValues& key : tree) values += key.values.size();
  state.counters["keys"] = static_cast<double>(tree.size());
  state.counters["values"] = static_cast<double>(values);
}
BENCHMARK(BM_UpdateAll)->Unit(benchmark::kMillisecond);

// The same keys and values as Update All leaves, created in one transaction on an empty store.
void BM_PlainWritesInOneTransaction(benchmark::State& state) {
  MirrorWorld world;
  world.mirroring->UpdateAll();
  std::vector<KeyValues> tree;
  Collect(*world.registry, records::MirrorPath(""), tree);
  for (auto _ : state) {
    state.PauseTiming();
    world.registry->DeleteTree(records::MirrorPath(""));
    state.ResumeTiming();
    auto transaction = world.registry->BeginTransaction();
    for (const KeyValues& key : tree) {
      auto handle = world.registry->CreateKey(key.path, platform::reg_access::kWrite,
                                              transaction.get());
      for (const auto& [name, value] : key.values) handle->SetValue(name, value);
    }
    transaction->Commit();
  }
}
BENCHMARK(BM_PlainWritesInOneTransaction)->Unit(benchmark::kMillisecond);

// The mirror read behind discovery kind 1, in process: the policy's factors and one user's
// enrollment under the lock.
void BM_ReadViewForOneUser(benchmark::State& state) {
  MirrorWorld world(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  world.mirroring->UpdateAll();
  const std::string user = UserSid(7);
  for (auto _ : state) benchmark::DoNotOptimize(world.mirroring->ReadView(user, false));
}
BENCHMARK(BM_ReadViewForOneUser)->Arg(5)->Arg(50)->Unit(benchmark::kMicrosecond);

// ---- Discovery through the RPC server. -------------------------------------------------------

// The engine as the discovery benchmark needs it: session ids and discovery; nothing else.
class DiscoveryServices final : public rpc::EngineRpcServices {
 public:
  explicit DiscoveryServices(mfab::DiscoveryCommands& commands) : discovery(commands) {}

  uint32_t NextSessionId() override { return ++next; }
  std::vector<uint8_t> Discover(int16_t kind, const std::vector<uint8_t>& data,
                                const std::string& first, const std::string& second) override {
    return discovery.Discover(kind, data, first, second);
  }

  void ReleaseSessionId(uint32_t, const keystone::ClientIdentity&) override { Unused(); }
  std::vector<uint8_t> SendMessageToApplet(const std::vector<uint8_t>&,
                                           const keystone::ClientIdentity&) override {
    Unused();
  }
  bool IsPriorityClient(const keystone::ClientIdentity&) override { Unused(); }
  bool SetAsyncRpcState(bool) override { Unused(); }
  StatusPoll PollAuthenticationStatus() override { Unused(); }
  std::vector<uint8_t> GetAuthenticationStatus() override { Unused(); }
  void AuthenticationStatusUpdateCompleted() override { Unused(); }
  void UpdateAuthenticationErrorState(int32_t, uint32_t) override { Unused(); }
  void RequestSessionVerification() override { Unused(); }
  bool SessionVerificationPending() override { Unused(); }
  void MirrorDataCleared() override { Unused(); }
  void MirrorUserUpdated(const std::string&) override { Unused(); }
  void MirrorUpdateAll() override { Unused(); }
  void MirrorFactorStatus(const std::vector<uint8_t>&) override { Unused(); }
  void ClearUserData() override { Unused(); }
  void UserDataUpdated(const std::string&) override { Unused(); }
  void StartUserRecordTask() override { Unused(); }
  std::vector<uint8_t> GetSavedDisplayName(const std::string&) override { Unused(); }
  uint32_t RunEnrollmentFlow(uint32_t, const keystone::ClientIdentity&, const std::string&,
                             const std::string&) override {
    Unused();
  }
  int32_t AuthenticationOnDesktop(const std::optional<keystone::ClientIdentity>&, int,
                                  const std::string&, const std::string&,
                                  const std::function<bool()>&) override {
    Unused();
  }

 private:
  [[noreturn]] static void Unused() { throw std::logic_error("not part of this benchmark"); }

  mfab::DiscoveryCommands& discovery;
  std::atomic<uint32_t> next{0};
};

using keystone::bench::Percentile;

// One iteration = one GetSessionIdRpc and one discovery of kind 1, each timed by hand.
void BM_DiscoveryPolicyVsSessionId(benchmark::State& state) {
  MirrorWorld world(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  world.mirroring->UpdateAll();
  mfab::DiscoveryCommands discovery(*world.mirroring, *world.userRecords);
  DiscoveryServices services(discovery);
  rpc::EngineRpcOperations operations(services);
  rpc::ServerOptions options;
  options.socketPath = world.dir.File("IVoxWithMfa");
  rpc::Server server(operations, options);
  server.UseEndpoint();
  server.Listen();
  rpc::Client client(options.socketPath);
  const std::string user = UserSid(7);
  Bytes out(65536);
  const auto discover = [&] {
    int32_t size = static_cast<int32_t>(out.size());
    if (client.GetDiscoveryInfoRpc(1, 0, nullptr, user.c_str(), "", &size, out.data()) != 0) {
      throw std::runtime_error("discovery failed");
    }
    return size;
  };
  for (int i = 0; i < 200; ++i) {  // warm the connection, the store's cache and the threads
    benchmark::DoNotOptimize(client.GetSessionIdRpc());
    benchmark::DoNotOptimize(discover());
  }
  std::vector<double> sessionMicros;
  std::vector<double> discoveryMicros;
  int32_t replySize = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(client.GetSessionIdRpc());
    const auto t1 = Clock::now();
    replySize = discover();
    const auto t2 = Clock::now();
    sessionMicros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    discoveryMicros.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  const double sessionP50 = Percentile(sessionMicros, 0.50);
  const double discoveryP50 = Percentile(discoveryMicros, 0.50);
  state.counters["session_p50_us"] = sessionP50;
  state.counters["discovery_p50_us"] = discoveryP50;
  state.counters["discovery_p99_us"] = Percentile(discoveryMicros, 0.99);
  state.counters["ratio_p50"] = sessionP50 > 0 ? discoveryP50 / sessionP50 : 0;
  state.counters["reply_bytes"] = replySize;
}
BENCHMARK(BM_DiscoveryPolicyVsSessionId)->Arg(5)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
