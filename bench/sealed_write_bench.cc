// Cost of writing one secure-data file through the data controller (open and check the data root
// and Data, temporary, write, fsync, rename, fsync of Data) against the bare system calls that
// replace a file with the same bytes. The directory is $TMPDIR (default /tmp); run it on the
// file system the engine's state lives on, since fsync dominates.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/data_store.h"
#include "log/logger.h"

namespace {

// A data root of its own under $TMPDIR, removed afterwards.
class Store final : public keystone::bench::DataStore {
 public:
  Store() : DataStore("sealed-write-bench") {}
};

std::vector<uint8_t> Blob(const benchmark::State& state) {
  return std::vector<uint8_t>(static_cast<size_t>(state.range(0)), 0x5A);
}

// Sizes: a sealed policy as the simulated applet makes it, and the largest blob one TLV value
// can carry.
void Sizes(benchmark::internal::Benchmark* bench) {
  bench->Arg(160)->Arg(32767)->Unit(benchmark::kMicrosecond)->UseRealTime();
}

// The baseline: the same bytes to a temporary, fsync, rename over the file.
void ReplaceBare(const std::string& data, const std::vector<uint8_t>& blob, bool flushDirectory,
                 int directoryFd) {
  const std::string temporary = data + "/_Sys$Policy.tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, blob.data(), blob.size()) != static_cast<ssize_t>(blob.size()) ||
      ::fsync(fd) != 0 || ::close(fd) != 0 ||
      ::rename(temporary.c_str(), (data + "/_Sys$Policy.SDS").c_str()) != 0 ||
      (flushDirectory && ::fsync(directoryFd) != 0)) {
    throw std::runtime_error("bare replacement failed");
  }
}

void BM_BareWriteFsyncRename(benchmark::State& state) {
  Store store;
  const std::vector<uint8_t> blob = Blob(state);
  for (auto _ : state) ReplaceBare(store.dir + "/Data", blob, false, -1);
}
BENCHMARK(BM_BareWriteFsyncRename)->Apply(Sizes);

// The bare calls with the directory flush that makes the rename durable, which the secure-data
// write does as well.
void BM_BareWriteFsyncRenameFsyncDir(benchmark::State& state) {
  Store store;
  const std::vector<uint8_t> blob = Blob(state);
  const int directory = ::open((store.dir + "/Data").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (auto _ : state) ReplaceBare(store.dir + "/Data", blob, true, directory);
  ::close(directory);
}
BENCHMARK(BM_BareWriteFsyncRenameFsyncDir)->Apply(Sizes);

void BM_SecureDataFileWrite(benchmark::State& state) {
  mfab::SetLogThreshold(mfab::LogSink::kService, 0);
  Store store;
  const std::vector<uint8_t> blob = Blob(state);
  for (auto _ : state) store.controller->WriteSecureDataFile("_Sys$Policy", blob);
}
BENCHMARK(BM_SecureDataFileWrite)->Apply(Sizes);

// The part of each call that the bare calls do not have: the DataDir value read from the
// registry, the root and Data opened and checked.
void BM_OpenAndCheckDataDirectory(benchmark::State& state) {
  Store store;
  for (auto _ : state) benchmark::DoNotOptimize(store.controller->GetBaseDataDirectory());
}
BENCHMARK(BM_OpenAndCheckDataDirectory)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
