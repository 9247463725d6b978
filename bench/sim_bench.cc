// The simulated applet through its library functions: the latency of one exchange, the same with
// stored data delivered (unsealing), a set-policy round with its save (two exchanges and the
// firmware's durable writes), and sealing itself. Exchanges per second are reported as items.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "applet/applet_ids.h"
#include "applet/kiln.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/sealing.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace mt = mfab::message_type;

Bytes Policy() {
  kilnsim::Policy policy;
  for (int i = 0; i < 4; ++i) {
    policy.factors.push_back({"F" + std::to_string(i),
                              "Factor " + std::to_string(i),
                              1,
                              false,
                              true,
                              false,
                              true,
                              300,
                              30,
                              {{"Param", "value"}}});
  }
  policy.actions = {kilnsim::PolicyAction{
      "OSLogin", {{kilnsim::SetEntry{"F0", {}}}, {kilnsim::SetEntry{"F1", {}}}}}};
  return kilnsim::SerializePolicy(policy);
}

Bytes Request(uint32_t type, const Bytes& payload = {}, bool isResponse = false) {
  mfab::Message message;
  message.moduleId = 3;
  message.messageType = type;
  message.payload = payload;
  message.isResponse = isResponse;
  message.sessionId = 1;
  return message.Serialize();
}

// A state directory, a handle and a session with the authentication applet.
class Sim {
 public:
  Sim() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kiln-sim-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    dir = pattern;
    ::setenv("KILN_SIM_STATE_DIR", dir.c_str(), 1);
    if (KILN_Initialize(&handle, nullptr, 0) != 0 ||
        KILN_Install2(handle, keystone::kAuthenticationAppletId, "/applet.img") != 0) {
      throw std::runtime_error("KILN set-up failed");
    }
    Open({});
  }
  ~Sim() {
    KILN_CloseSession(handle, &session);
    KILN_Deinit(handle);
    std::filesystem::remove_all(dir);
  }

  void Open(const Bytes& block) {
    if (session) KILN_CloseSession(handle, &session);
    Bytes init;
    mfab::AppendTlvInt(init, 0x0000, 3);
    init.insert(init.end(), block.begin(), block.end());
    const KILN_INIT_BUFFER buffer{init.data(), static_cast<uint32_t>(init.size())};
    if (KILN_CreateSession(handle, keystone::kAuthenticationAppletId, 1, &buffer, &session) != 0) {
      throw std::runtime_error("KILN_CreateSession failed");
    }
  }

  const Bytes& Exchange(const Bytes& request) {
    reply.resize(kilnsim::kMaxReplySize);
    KILN_COMM_BUFFER buffer{request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                            static_cast<uint32_t>(reply.size())};
    uint32_t code = 0;
    if (KILN_SendAndRecv2(handle, session, 0, &buffer, &code) != 0)
      throw std::runtime_error("send failed");
    reply.resize(buffer.receiveLength);
    return reply;
  }

  // Sets the policy and returns the stored-data block that delivers it.
  Bytes SetPolicy() {
    mfab::SaveRequest save;
    save.Deserialize(
        mfab::Message::Parse(Exchange(Request(kilnsim::sim_type::kSetPolicyRequest, Policy())))
            .payload);
    Exchange(Request(mt::kSaveResponse, mfab::SaveResponse{}.Serialize(), true));
    Bytes files;
    for (const auto& [name, blob] : {std::pair{save.firstFileName, save.firstFileData},
                                     std::pair{save.secondFileName, save.secondFileData}}) {
      Bytes file;
      mfab::AppendTlv(file, 0x7BB0, name);
      mfab::AppendTlv(file, 0x7BB1, blob);
      mfab::AppendTlv(files, 0x7BAF, file);
    }
    Bytes codes, body, block;
    mfab::AppendTlvUint(codes, 0x7BAD, 2);
    mfab::AppendTlv(body, 0x7BAC, codes);
    mfab::AppendTlv(body, 0x7BAE, files);
    mfab::AppendTlv(body, 0x7BB2, Bytes{});
    mfab::AppendTlv(block, 0x0006, body);
    return block;
  }

 private:
  std::string dir;
  KILN_HANDLE handle = nullptr;
  KILN_SESSION_HANDLE session = nullptr;
  Bytes reply;
};

void BM_SimExchange(benchmark::State& state) {
  Sim sim;
  sim.Open(sim.SetPolicy());
  const Bytes request = Request(mt::kGetPolicyDataRequest);
  for (auto _ : state) benchmark::DoNotOptimize(sim.Exchange(request).data());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SimExchange);

void BM_SimExchangeWithDeliveredData(benchmark::State& state) {
  Sim sim;
  Bytes request = Request(mt::kGetPolicyDataRequest);
  const Bytes block = sim.SetPolicy();
  request.insert(request.end(), block.begin(), block.end());
  for (auto _ : state) benchmark::DoNotOptimize(sim.Exchange(request).data());
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}
BENCHMARK(BM_SimExchangeWithDeliveredData);

void BM_SimSetPolicyRound(benchmark::State& state) {
  Sim sim;
  for (auto _ : state) benchmark::DoNotOptimize(sim.SetPolicy().data());
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_SimSetPolicyRound)->Unit(benchmark::kMillisecond);

void BM_SimSealAndOpen(benchmark::State& state) {
  kilnsim::SealingKey device{};
  const kilnsim::SealingKey key = kilnsim::DeriveSealingKey(device, 1);
  const Bytes record(static_cast<size_t>(state.range(0)), 0x42);
  for (auto _ : state) {
    const Bytes blob = kilnsim::SealBlob(key, "_Sys$Policy", {1, 7}, record);
    benchmark::DoNotOptimize(kilnsim::OpenBlob(key, "_Sys$Policy", blob).data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SimSealAndOpen)->Arg(256)->Arg(4096)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
