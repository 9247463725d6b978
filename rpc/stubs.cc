// The server stubs: one per procedure number, generated from the operation table.

#include <type_traits>

#include "rpc/marshal.h"

namespace rpc {
namespace {

template <size_t N>
void RunSync(EngineOperations& operations, CallContext& call, std::span<const uint8_t> payload,
             std::vector<uint8_t>& reply) {
  ServerCall<N> serverCall;
  serverCall.Decode(payload);
  ByteWriter out(reply);
  if constexpr (std::is_void_v<typename ServerCall<N>::Result>) {
    serverCall.Invoke(operations, call);
    serverCall.EncodeReply(out);
  } else {
    const auto result = serverCall.Invoke(operations, call);
    serverCall.EncodeReply(out, result);
  }
}

template <size_t N>
class AsyncServerCall final : public PendingAsyncCall {
 public:
  explicit AsyncServerCall(std::span<const uint8_t> payload)
      : bytes(payload.begin(), payload.end()) {
    // The slots may point into the request, so it is kept with them.
    serverCall.Decode(bytes);
  }

  void Invoke(EngineOperations& operations, AsyncCallContext& call) override {
    serverCall.Invoke(operations, call);
  }

  void EncodeReply(std::vector<uint8_t>& reply, int32_t result) const override {
    ByteWriter out(reply);
    serverCall.EncodeReply(out, static_cast<typename ServerCall<N>::Result>(result));
  }

 private:
  std::vector<uint8_t> bytes;
  ServerCall<N> serverCall;
};

template <size_t N>
std::unique_ptr<PendingAsyncCall> PrepareAsync(std::span<const uint8_t> payload) {
  return std::make_unique<AsyncServerCall<N>>(payload);
}

template <size_t N>
constexpr Stub MakeStub() {
  if constexpr (kOperations[N].async) {
    return Stub{nullptr, &PrepareAsync<N>};
  } else {
    return Stub{&RunSync<N>, nullptr};
  }
}

template <size_t... N>
constexpr std::array<Stub, kOperationCount> MakeStubs(std::index_sequence<N...>) {
  return {MakeStub<N>()...};
}

constexpr std::array<Stub, kOperationCount> kStubs =
    MakeStubs(std::make_index_sequence<kOperationCount>());

}  // namespace

const Stub& StubFor(uint16_t procedure) {
  static constexpr Stub kNone{};
  return procedure < kOperationCount ? kStubs[procedure] : kNone;
}

}  // namespace rpc
