// Cost of attaching stored data to one message: existence tests, the policy-mirror reads and the
// file reads of a piggy-back block, on the real file system (TMPDIR) and the SQLite registry.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/data_store.h"
#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/registry.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_loader.h"
#include "storage/mirroring_host.h"
#include "tlv/piggyback_block.h"

namespace {

// The mirror's identifiers are all the loader asks of the mirroring; it never reaches the applet.
class NoHost final : public mfab::IMirroringHost {
 public:
  mfab::Bytes GetPolicyData() override { throw std::logic_error("no applet"); }
  mfab::Bytes SendMessageUsingQueue(const mfab::Bytes&) override {
    throw std::logic_error("no applet");
  }
  void StartUserRecordTask() override {}
  void ClearUserData() override {}
};

constexpr const char* kSid = "S-1-5-21-1111111111-2222222222-3333333333-1001";

// A data directory with a user enrolled in four factors and three actions, blobs of 512 bytes.
class Store final : public keystone::bench::DataStore {
 public:
  Store() : DataStore("piggyback-bench") {
    const std::string mirror = keystone::kDataMirrorKey;
    reader = std::make_unique<mfab::AuthenticateDataMirroring>(*registry, *controller, host);
    const std::vector<uint8_t> blob(512, 0x5A);
    const std::string user = std::string("_U") + kSid;
    for (const std::string name :
         {"_masterVersions", "_Sys", "_Sys$Policy", "_Sys$Credential", "_Sys$publicKey"}) {
      controller->WriteSecureDataFile(name, blob);
    }
    controller->WriteSecureDataFile(user, blob);
    for (int i = 1; i <= 4; ++i) {
      registry->CreateKey(mirror + "\\Factors\\" + std::to_string(i), platform::reg_access::kWrite);
      controller->WriteSecureDataFile("_Sys$F" + std::to_string(i), blob);
      controller->WriteSecureDataFile(user + "$E" + std::to_string(i), blob);
    }
    for (int i = 1; i <= 3; ++i) {
      registry->CreateKey(mirror + "\\Actions\\" + std::to_string(i), platform::reg_access::kWrite);
      controller->WriteSecureDataFile(user + "$A" + std::to_string(i), blob);
    }
  }

  NoHost host;
  std::unique_ptr<mfab::AuthenticateDataMirroring> reader;
};

// Every category at once: what the first message of a session for a user carries (20 files).
void BM_BuildBlockAllCategories(benchmark::State& state) {
  mfab::SetLogThreshold(mfab::LogSink::kService, 0);
  Store store;
  size_t bytes = 0;
  for (auto _ : state) {
    namespace dc = mfab::data_category;
    mfab::DataCategories categories{dc::kSystemFiles,    dc::kPolicy,      dc::kCertificate,
                                    dc::kUserEnrollment, dc::kUserActions, dc::kFactorSystem};
    const mfab::Bytes block =
        mfab::BuildPiggyBackBlock(kSid, categories, *store.controller, *store.reader);
    bytes = block.size();
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["block_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildBlockAllCategories)->Unit(benchmark::kMicrosecond);

// One category whose files are absent: the cost of a message that ends up carrying nothing.
void BM_BuildBlockNothingToAttach(benchmark::State& state) {
  mfab::SetLogThreshold(mfab::LogSink::kService, 0);
  Store store;
  std::filesystem::remove(store.dir + "/Data/_Sys$Policy.SDS");
  for (auto _ : state) {
    mfab::DataCategories categories{mfab::data_category::kPolicy};
    benchmark::DoNotOptimize(
        mfab::BuildPiggyBackBlock(kSid, categories, *store.controller, *store.reader));
  }
}
BENCHMARK(BM_BuildBlockNothingToAttach)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
