// The server stubs: one per procedure number, generated from the operation table.

#include <type_traits>

#include "rpc/marshal.h"

namespace rpc {
namespace {

template <size_t N>
class Prepared final : public PreparedCall {
 public:
  explicit Prepared(std::span<const uint8_t> payload) {
    if constexpr (kOperations[N].async) {
      // The asynchronous call outlives the frame it came in; its slots point into this copy.
      copy.assign(payload.begin(), payload.end());
      payload = copy;
    }
    serverCall.Decode(payload);
  }

  size_t OutputBytes() const override { return serverCall.OutputBytes(); }
  void AllocateOutputs() override { serverCall.AllocateOutputs(); }

  void Run(EngineOperations& operations, CallContext& call,
           std::vector<uint8_t>& reply) override {
    if constexpr (kOperations[N].async) {
      throw MarshalError("the asynchronous operation does not run synchronously");
    } else {
      ByteWriter out(reply);
      if constexpr (std::is_void_v<typename ServerCall<N>::Result>) {
        serverCall.Invoke(operations, call);
        serverCall.EncodeReply(out);
      } else {
        const auto result = serverCall.Invoke(operations, call);
        serverCall.EncodeReply(out, result);
      }
    }
  }

  void Invoke(EngineOperations& operations, AsyncCallContext& call) override {
    if constexpr (kOperations[N].async) {
      serverCall.Invoke(operations, call);
    } else {
      throw MarshalError("a synchronous operation does not run asynchronously");
    }
  }

  void EncodeReply(std::vector<uint8_t>& reply, int32_t result) const override {
    if constexpr (kOperations[N].async) {
      ByteWriter out(reply);
      serverCall.EncodeReply(out, static_cast<typename ServerCall<N>::Result>(result));
    } else {
      throw MarshalError("a synchronous operation has no completion");
    }
  }

 private:
  std::vector<uint8_t> copy;
  ServerCall<N> serverCall;
};

using Factory = std::unique_ptr<PreparedCall> (*)(std::span<const uint8_t> payload);

template <size_t N>
std::unique_ptr<PreparedCall> Make(std::span<const uint8_t> payload) {
  return std::make_unique<Prepared<N>>(payload);
}

template <size_t... N>
constexpr std::array<Factory, kOperationCount> MakeFactories(std::index_sequence<N...>) {
  return {&Make<N>...};
}

constexpr std::array<Factory, kOperationCount> kFactories =
    MakeFactories(std::make_index_sequence<kOperationCount>());

}  // namespace

std::unique_ptr<PreparedCall> PrepareCall(uint16_t procedure, std::span<const uint8_t> payload) {
  if (procedure >= kOperationCount) {
    throw MarshalError("unknown procedure", kStatusProcedureOutOfRange);
  }
  return kFactories[procedure](payload);
}

}  // namespace rpc
