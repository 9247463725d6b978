// Cost of running host-library calls on their own worker threads, and of one send through
// TeeApplet with its receive buffer, against an in-process library that answers at once.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "applet/kiln_adapter.h"
#include "applet/tee_applet.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace {

// Answers every call with success and every send with a reply of a fixed size.
class InstantKiln : public mfab::IKilnLibrary {
 public:
  explicit InstantKiln(uint32_t replySize) : reply(replySize, 0x5A) {}

  KILN_STATUS Initialize(KILN_HANDLE* handle, void*, uint32_t) override {
    *handle = reinterpret_cast<KILN_HANDLE>(uintptr_t{0x1000});
    return 0;
  }
  KILN_STATUS Deinit(KILN_HANDLE) override { return 0; }
  KILN_STATUS GetVersionInfo(KILN_HANDLE, KILN_VERSION_INFO* info) override {
    std::memset(info, 0, sizeof(*info));
    std::strcpy(info->firmwareVersion, "1.0");
    return 0;
  }
  KILN_STATUS Install2(KILN_HANDLE, const char*, const char*) override { return 0; }
  KILN_STATUS Uninstall(KILN_HANDLE, const char*) override { return 0; }
  KILN_STATUS CreateSession(KILN_HANDLE, const char*, uint32_t, const KILN_INIT_BUFFER*,
                            KILN_SESSION_HANDLE* session) override {
    *session = reinterpret_cast<KILN_SESSION_HANDLE>(uintptr_t{0x5000});
    return 0;
  }
  KILN_STATUS CloseSession(KILN_HANDLE, KILN_SESSION_HANDLE*) override { return 0; }
  KILN_STATUS ForceCloseSession(KILN_HANDLE, KILN_SESSION_HANDLE*) override { return 0; }
  KILN_STATUS SendAndRecv2(KILN_HANDLE, KILN_SESSION_HANDLE, uint32_t, KILN_COMM_BUFFER* buffer,
                           uint32_t*) override {
    const uint32_t length =
        std::min<uint32_t>(static_cast<uint32_t>(reply.size()), buffer->receiveLength);
    std::memcpy(buffer->receiveBuffer, reply.data(), length);
    buffer->receiveLength = length;
    return 0;
  }

 private:
  std::vector<uint8_t> reply;
};

void BM_AdapterCall(benchmark::State& state) {
  mfab::KILNAdapter adapter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(adapter.Call([] { return 0u; }, nullptr));
  }
}
BENCHMARK(BM_AdapterCall);

void BM_TeeAppletSend(benchmark::State& state) {
  char directory[] = "/tmp/kiln-bench-XXXXXX";
  if (::mkdtemp(directory) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  std::unique_ptr<platform::Registry> registry =
      platform::OpenRegistry(std::string(directory) + "/registry.db");
  auto kiln = std::make_shared<InstantKiln>(static_cast<uint32_t>(state.range(0)));
  {
    mfab::TeeApplet applet(*registry, kiln, platform::SystemClock());
    mfab::KilnSessionOwner session = applet.OpenSession({});
    const std::vector<uint8_t> request(512, 1);
    for (auto _ : state) {
      benchmark::DoNotOptimize(applet.Send(session, 0, request));
    }
  }
  registry.reset();
  std::remove((std::string(directory) + "/registry.db").c_str());
  std::remove((std::string(directory) + "/registry.db-wal").c_str());
  std::remove((std::string(directory) + "/registry.db-shm").c_str());
  ::rmdir(directory);
}
BENCHMARK(BM_TeeAppletSend)->Arg(64)->Arg(4096)->Arg(32768);

}  // namespace

BENCHMARK_MAIN();
