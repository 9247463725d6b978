// Latency of the SQLite registry store: the reads the engine does for its configuration, the
// writes of the mirror, and a transaction. The store lives in a temporary directory (the
// directory's file system decides what a flush costs: set TMPDIR to measure another one).

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/registry.h"

namespace {

using platform::RegValue;
namespace access = platform::reg_access;

constexpr const char* kEngineKey = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine";

// One store per benchmark, with the engine's key and a few values in it.
class Store {
 public:
  Store() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/registry-bench-XXXXXX";
    dir = ::mkdtemp(pattern.data()) ? pattern : std::string();
    registry = platform::OpenRegistry(dir + "/registry.db");
    auto key = registry->CreateKey(kEngineKey, access::kAllAccess);
    key->SetValue("Level", RegValue::Dword(4));
    key->SetValue("DataDir", RegValue::String("/var/lib/ostra-keystone"));
    for (int i = 0; i < 20; ++i) {
      registry->CreateKey(std::string(kEngineKey) + "\\Factors\\F" + std::to_string(i),
                          access::kRead);
    }
  }
  ~Store() {
    registry.reset();
    std::filesystem::remove_all(dir);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  platform::Registry& Get() { return *registry; }

 private:
  std::string dir;
  std::unique_ptr<platform::Registry> registry;
};

void BM_OpenKeyAndQueryDword(benchmark::State& state) {
  Store store;
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::ReadRegistryDword(store.Get(), kEngineKey, "Level"));
  }
}
BENCHMARK(BM_OpenKeyAndQueryDword);

void BM_QueryDwordOnOpenHandle(benchmark::State& state) {
  Store store;
  auto key = store.Get().OpenKey(kEngineKey, access::kRead);
  for (auto _ : state) benchmark::DoNotOptimize(key->QueryValue("Level")->AsDword());
}
BENCHMARK(BM_QueryDwordOnOpenHandle);

void BM_SetDword(benchmark::State& state) {
  Store store;
  auto key = store.Get().OpenKey(kEngineKey, access::kAllAccess);
  uint32_t n = 0;
  for (auto _ : state) key->SetValue("Counter", RegValue::Dword(++n));
}
BENCHMARK(BM_SetDword);

void BM_SetDwordAndFlush(benchmark::State& state) {
  Store store;
  auto key = store.Get().OpenKey(kEngineKey, access::kAllAccess);
  uint32_t n = 0;
  for (auto _ : state) {
    key->SetValue("Counter", RegValue::Dword(++n));
    key->Flush();
  }
}
BENCHMARK(BM_SetDwordAndFlush);

void BM_TransactionOfTenWrites(benchmark::State& state) {
  Store store;
  uint32_t n = 0;
  for (auto _ : state) {
    auto tx = store.Get().BeginTransaction();
    auto key = store.Get().CreateKey(std::string(kEngineKey) + "\\DataMirror\\Factors\\SoftBT",
                                     access::kAllAccess, tx.get());
    ++n;
    for (int i = 0; i < 10; ++i) key->SetValue("V" + std::to_string(i), RegValue::Dword(n));
    tx->Commit();
  }
}
BENCHMARK(BM_TransactionOfTenWrites);

// Reads from several threads at once: each takes its own pooled connection.
void BM_QueryDwordFromThreads(benchmark::State& state) {
  static Store shared;  // one store for every thread and run, made on first use
  auto key = shared.Get().OpenKey(kEngineKey, access::kRead);
  for (auto _ : state) benchmark::DoNotOptimize(key->QueryValue("Level")->AsDword());
}
BENCHMARK(BM_QueryDwordFromThreads)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
