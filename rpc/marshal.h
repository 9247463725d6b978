#pragma once

// Marshalling generated from the operation table: the C++ type of every parameter, the
// signature check of EngineOperations (and of any proxy class) against the table, the
// server-side decoding of a request into argument slots and encoding of the reply, and the
// client-side encoding of a request and decoding of its reply. Everything here is driven by
// kOperations[N]; no operation is spelled out by hand except in kEngineMethods.

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "rpc/engine_operations.h"
#include "rpc/frame_io.h"
#include "rpc/operation_table.h"
#include "rpc/protocol.h"

namespace rpc {

// C++ type of a parameter by its encoding and direction.
template <Wire W, Direction D>
struct CppType;
template <>
struct CppType<Wire::kShort, Direction::kIn> {
  using type = int16_t;
};
template <>
struct CppType<Wire::kLong, Direction::kIn> {
  using type = int32_t;
};
template <>
struct CppType<Wire::kShort, Direction::kInOut> {
  using type = int16_t&;
};
template <>
struct CppType<Wire::kLong, Direction::kInOut> {
  using type = int32_t&;
};
template <>
struct CppType<Wire::kLong, Direction::kOut> {
  using type = int32_t&;
};
template <>
struct CppType<Wire::kBytes, Direction::kIn> {
  using type = const uint8_t*;
};
template <>
struct CppType<Wire::kString, Direction::kIn> {
  using type = const char*;
};
template <>
struct CppType<Wire::kSize, Direction::kInOut> {
  using type = int32_t*;
};
template <>
struct CppType<Wire::kBuffer, Direction::kInOut> {
  using type = uint8_t*;
};

template <ResultType R>
struct ResultCpp;
template <>
struct ResultCpp<ResultType::kNone> {
  using type = void;
};
template <>
struct ResultCpp<ResultType::kLong> {
  using type = int32_t;
};
template <>
struct ResultCpp<ResultType::kEnum32> {
  using type = int32_t;
};
template <>
struct ResultCpp<ResultType::kAppletCallStatus> {
  using type = AppletCallStatus;
};
template <>
struct ResultCpp<ResultType::kBtCallStatus> {
  using type = BtCallStatus;
};

// Parameters of operation N of a table: the engine's (kOperations) unless another is named, such
// as the table of the callbacks a client serves (rpc/callback_table.h).
template <const auto& Table, size_t N, size_t I>
inline constexpr ParamSpec kTableParam = Table[N].params[I];

template <const auto& Table, size_t N, size_t I>
using TableParamType =
    typename CppType<kTableParam<Table, N, I>.wire, kTableParam<Table, N, I>.direction>::type;

template <const auto& Table, size_t N>
using TableIndices = std::make_index_sequence<Table[N].params.size()>;

template <size_t N, size_t I>
inline constexpr ParamSpec kParam = kTableParam<kOperations, N, I>;

template <size_t N, size_t I>
using ParamType = TableParamType<kOperations, N, I>;

template <size_t N>
using Indices = TableIndices<kOperations, N>;

// What a proxy of operation N of a table receives and returns.
template <const auto& Table, size_t N, typename Seq = TableIndices<Table, N>>
struct TableSignature;

template <const auto& Table, size_t N, size_t... I>
struct TableSignature<Table, N, std::index_sequence<I...>> {
  using Result = typename ResultCpp<Table[N].result>::type;
  using Arguments = std::tuple<TableParamType<Table, N, I>...>;
};

template <size_t N, typename Seq = Indices<N>>
struct Signature;

template <size_t N, size_t... I>
struct Signature<N, std::index_sequence<I...>> {
  static constexpr bool kAsync = kOperations[N].async;
  // What the operation returns to the client (the completion's value for the async one).
  using Result = typename ResultCpp<kOperations[N].result>::type;
  // The arguments as a proxy receives them: values, pointers and references.
  using Arguments = std::tuple<ParamType<N, I>...>;
  using EngineMethod =
      std::conditional_t<kAsync, void (EngineOperations::*)(AsyncCallContext&, ParamType<N, I>...),
                         Result (EngineOperations::*)(CallContext&, ParamType<N, I>...)>;
  template <typename Proxy, typename... Extra>
  using ProxyMethod = Result (Proxy::*)(ParamType<N, I>..., Extra...);
};

// The engine's methods in procedure-number order; checked against the table below.
inline constexpr auto kEngineMethods = std::make_tuple(
    &EngineOperations::ResetServiceRpc, &EngineOperations::GetSessionIdRpc,
    &EngineOperations::ReleaseSessionIdRpc, &EngineOperations::NotifyAuthenticateStatusAsyncRpc,
    &EngineOperations::UpdateAuthenticationErrorStateRpc, &EngineOperations::SendMessageToAppletRpc,
    &EngineOperations::SetBTMockModeRpc, &EngineOperations::SendMessageToBtDeviceRpc,
    &EngineOperations::EstablishConnectionWithBtDeviceRpc, &EngineOperations::IsRSSISupportedRpc,
    &EngineOperations::GetRSSIRpc, &EngineOperations::CalibrateRSSIRpc,
    &EngineOperations::GetDeviceStatusRpc, &EngineOperations::ScanRpc,
    &EngineOperations::UpdateProximityStateRpc, &EngineOperations::AuthenticationOnDesktopRpc,
    &EngineOperations::TriggerDataBackupRpc, &EngineOperations::GetDiscoveryInfoRpc,
    &EngineOperations::MirrorFactorSupportedStatusRpc, &EngineOperations::GetUserRecordsRpc,
    &EngineOperations::IsPhonePresentRpc, &EngineOperations::SetUserPresenceRpc,
    &EngineOperations::InitializeSessionRpc, &EngineOperations::RunEnrollmentFlowRpc);

template <size_t... N>
constexpr bool EngineMatchesTable(std::index_sequence<N...>) {
  return (std::is_same_v<std::tuple_element_t<N, std::remove_const_t<decltype(kEngineMethods)>>,
                         typename Signature<N>::EngineMethod> &&
          ...);
}
static_assert(std::tuple_size_v<std::remove_const_t<decltype(kEngineMethods)>> == kOperationCount);
static_assert(EngineMatchesTable(std::make_index_sequence<kOperationCount>()),
              "EngineOperations does not match the operation table");

namespace detail {

// Server-side storage of one argument, decoded from the request and encoded into the reply.
template <Wire W, Direction D>
struct Slot;

template <>
struct Slot<Wire::kShort, Direction::kIn> {
  int16_t value = 0;
  void Decode(ByteReader& in) { value = in.I16(); }
  int16_t Pass() { return value; }
};

template <>
struct Slot<Wire::kLong, Direction::kIn> {
  int32_t value = 0;
  void Decode(ByteReader& in) { value = in.I32(); }
  int32_t Pass() { return value; }
};

template <>
struct Slot<Wire::kShort, Direction::kInOut> {
  int16_t value = 0;
  void Decode(ByteReader& in) { value = in.I16(); }
  int16_t& Pass() { return value; }
  void Encode(ByteWriter& out) const { out.I16(value); }
};

template <>
struct Slot<Wire::kLong, Direction::kInOut> {
  int32_t value = 0;
  void Decode(ByteReader& in) { value = in.I32(); }
  int32_t& Pass() { return value; }
  void Encode(ByteWriter& out) const { out.I32(value); }
};

template <>
struct Slot<Wire::kLong, Direction::kOut> {
  int32_t value = 0;
  int32_t& Pass() { return value; }
  void Encode(ByteWriter& out) const { out.I32(value); }
};

template <>
struct Slot<Wire::kBytes, Direction::kIn> {
  const uint8_t* data = nullptr;
  void Decode(ByteReader& in, int32_t length) {
    if (!in.Flag()) return;
    if (length < 0) throw MarshalError("byte array with a negative length");
    std::span<const uint8_t> bytes = in.Take(static_cast<size_t>(length));
    // A present array of no bytes is still a non-null pointer.
    static const uint8_t kEmpty = 0;
    data = bytes.data() != nullptr ? bytes.data() : &kEmpty;
  }
  const uint8_t* Pass() { return data; }
};

template <>
struct Slot<Wire::kString, Direction::kIn> {
  std::string value;
  void Decode(ByteReader& in) {
    const uint32_t length = in.U32();
    std::span<const uint8_t> chars = in.Take(length);
    if (std::find(chars.begin(), chars.end(), 0) != chars.end()) {
      throw MarshalError("string holds a NUL character");
    }
    value.assign(reinterpret_cast<const char*>(chars.data()), chars.size());
  }
  const char* Pass() { return value.c_str(); }
};

template <>
struct Slot<Wire::kSize, Direction::kInOut> {
  bool present = false;
  int32_t value = 0;
  void Decode(ByteReader& in) {
    present = in.Flag();
    if (present) value = in.I32();
  }
  int32_t* Pass() { return present ? &value : nullptr; }
  void Encode(ByteWriter& out) const {
    out.U8(present ? 1 : 0);
    if (present) out.I32(value);
  }
};

template <>
struct Slot<Wire::kBuffer, Direction::kInOut> {
  bool present = false;
  int32_t capacity = 0;
  std::vector<uint8_t> data;
  // Only the capacity is read here; the buffer comes with Allocate, once the server approved it.
  void Decode(ByteReader& in, const Slot<Wire::kSize, Direction::kInOut>& size) {
    present = in.Flag();
    if (!present) return;
    capacity = size.present ? size.value : 0;
    if (capacity < 0 || capacity > kMaxOutputCapacity) {
      throw MarshalError("output capacity out of range");
    }
  }
  // At least one byte so that a present buffer of capacity 0 is not a null pointer.
  size_t Bytes() const { return present ? std::max<size_t>(static_cast<size_t>(capacity), 1) : 0; }
  // Zero-filled: an operation that reports more than it wrote sends zeros, never old memory.
  void Allocate() {
    if (present) data.assign(Bytes(), 0);
  }
  uint8_t* Pass() { return present ? data.data() : nullptr; }
  void Encode(ByteWriter& out, const Slot<Wire::kSize, Direction::kInOut>& size) const {
    out.U8(present ? 1 : 0);
    if (!present) return;
    const int32_t count = size.present ? size.value : 0;
    if (count < 0 || count > capacity) {
      throw MarshalError("the operation returned a size beyond the buffer's capacity");
    }
    out.U32(static_cast<uint32_t>(count));
    out.Bytes(data.data(), static_cast<size_t>(count));
  }
};

template <const auto& Table, size_t N, typename Seq = TableIndices<Table, N>>
struct SlotsOf;
template <const auto& Table, size_t N, size_t... I>
struct SlotsOf<Table, N, std::index_sequence<I...>> {
  using type = std::tuple<
      Slot<kTableParam<Table, N, I>.wire, kTableParam<Table, N, I>.direction>...>;
};

template <typename T>
void EncodeResult(ByteWriter& out, T result) {
  if constexpr (sizeof(T) == 2) {
    out.U16(static_cast<uint16_t>(result));
  } else {
    static_assert(sizeof(T) == 4);
    out.I32(static_cast<int32_t>(result));
  }
}

}  // namespace detail

// One decoded request of operation N, with storage for every argument; the reply is encoded
// from the same storage after the operation ran.
template <size_t N, const auto& Table = kOperations>
class ServerCall {
 public:
  using Result = typename TableSignature<Table, N>::Result;

  // Throws MarshalError when the payload does not hold exactly the operation's parameters.
  void Decode(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    DecodeAll(in, TableIndices<Table, N>());
    in.ExpectEnd();
  }

  // Memory the output buffers take once allocated.
  size_t OutputBytes() const {
    return std::apply([](const auto&... slot) { return (size_t{0} + ... + BytesOf(slot)); },
                      slots);
  }
  void AllocateOutputs() {
    std::apply([](auto&... slot) { (AllocateOne(slot), ...); }, slots);
  }

  // Calls f with every argument as the operation receives it (values, pointers, references
  // into this call's storage) and returns what f returns.
  template <typename F>
  decltype(auto) Apply(F&& f) {
    return std::apply([&](auto&... slot) -> decltype(auto) { return f(slot.Pass()...); }, slots);
  }

  // Calls the engine's method; for the asynchronous operation, the call completes later.
  auto Invoke(EngineOperations& operations, CallContext& call) {
    return std::apply(
        [&](auto&... slot) {
          if constexpr (Signature<N>::kAsync) {
            return (operations.*std::get<N>(kEngineMethods))(static_cast<AsyncCallContext&>(call),
                                                            slot.Pass()...);
          } else {
            return (operations.*std::get<N>(kEngineMethods))(call, slot.Pass()...);
          }
        },
        slots);
  }

  // The reply payload: the result, then the in/out and out parameters.
  // Throws MarshalError when the operation left an output out of range.
  template <typename R>
  void EncodeReply(ByteWriter& out, R result) const {
    detail::EncodeResult(out, result);
    EncodeOutputs(out, TableIndices<Table, N>());
  }
  void EncodeReply(ByteWriter& out) const { EncodeOutputs(out, TableIndices<Table, N>()); }

 private:
  template <typename S>
  static size_t BytesOf(const S& slot) {
    if constexpr (requires { slot.Bytes(); }) {
      return slot.Bytes();
    } else {
      return 0;
    }
  }
  template <typename S>
  static void AllocateOne(S& slot) {
    if constexpr (requires { slot.Allocate(); }) slot.Allocate();
  }

  template <size_t... I>
  void DecodeAll(ByteReader& in, std::index_sequence<I...>) {
    (DecodeOne<I>(in), ...);
  }

  template <size_t I>
  void DecodeOne(ByteReader& in) {
    constexpr ParamSpec p = kTableParam<Table, N, I>;
    auto& slot = std::get<I>(slots);
    if constexpr (p.direction == Direction::kOut) {
      return;
    } else if constexpr (p.wire == Wire::kBytes) {
      slot.Decode(in, std::get<static_cast<size_t>(p.sizedBy)>(slots).value);
    } else if constexpr (p.wire == Wire::kBuffer) {
      slot.Decode(in, std::get<static_cast<size_t>(p.sizedBy)>(slots));
    } else {
      slot.Decode(in);
    }
  }

  template <size_t... I>
  void EncodeOutputs(ByteWriter& out, std::index_sequence<I...>) const {
    (EncodeOne<I>(out), ...);
  }

  template <size_t I>
  void EncodeOne(ByteWriter& out) const {
    constexpr ParamSpec p = kTableParam<Table, N, I>;
    const auto& slot = std::get<I>(slots);
    if constexpr (p.direction == Direction::kIn) {
      return;
    } else if constexpr (p.wire == Wire::kBuffer) {
      slot.Encode(out, std::get<static_cast<size_t>(p.sizedBy)>(slots));
    } else {
      slot.Encode(out);
    }
  }

  typename detail::SlotsOf<Table, N>::type slots;
};

// One decoded request, ready to run once the server has approved the memory of its output
// buffers. The synchronous operations run with Run; the asynchronous one with Invoke, and its
// reply is encoded when it completes. Decoded parameters may point into the request payload: a
// synchronous call's payload must outlive Run (an asynchronous call keeps its own copy).
class PreparedCall {
 public:
  virtual ~PreparedCall() = default;
  virtual size_t OutputBytes() const = 0;
  // Allocates the output buffers; before Run or Invoke.
  virtual void AllocateOutputs() = 0;
  // Synchronous: calls the engine and appends the reply payload. Throws MarshalError when the
  // operation left an output out of range.
  virtual void Run(EngineOperations& operations, CallContext& call,
                   std::vector<uint8_t>& reply) = 0;
  // Asynchronous: calls the engine, which completes the call through its context.
  virtual void Invoke(EngineOperations& operations, AsyncCallContext& call) = 0;
  // Asynchronous: appends the reply payload for this result; throws MarshalError.
  virtual void EncodeReply(std::vector<uint8_t>& reply, int32_t result) const = 0;
};

// Decodes the request payload of procedure n; throws MarshalError when it does not hold exactly
// the operation's parameters, or kStatusProcedureOutOfRange for an unknown procedure.
std::unique_ptr<PreparedCall> PrepareCall(uint16_t procedure, std::span<const uint8_t> payload);

// Whether procedure n is the asynchronous operation.
constexpr bool IsAsyncProcedure(uint16_t procedure) {
  return procedure < kOperationCount && kOperations[procedure].async;
}

// Client side: encodes the in parameters of a call; throws MarshalError (a null string, a
// negative length with bytes, a capacity out of range).
template <size_t N, const auto& Table = kOperations>
class ProxyCall {
 public:
  using Result = typename TableSignature<Table, N>::Result;
  using Arguments = typename TableSignature<Table, N>::Arguments;

  explicit ProxyCall(Arguments arguments) : args(arguments) {}

  void EncodeRequest(std::vector<uint8_t>& request) {
    ByteWriter out(request);
    EncodeAll(out, TableIndices<Table, N>());
  }

  // Stores the reply's outputs into the caller's arguments and returns the result. Throws
  // MarshalError when the reply does not match the request (presence, counts, capacities).
  Result DecodeReply(std::span<const uint8_t> payload) {
    ByteReader in(payload);
    if constexpr (std::is_void_v<Result>) {
      DecodeAll(in, TableIndices<Table, N>());
      in.ExpectEnd();
    } else {
      Result result;
      if constexpr (sizeof(Result) == 2) {
        result = static_cast<Result>(in.U16());
      } else {
        result = static_cast<Result>(in.I32());
      }
      DecodeAll(in, TableIndices<Table, N>());
      in.ExpectEnd();
      return result;
    }
  }

 private:
  template <size_t... I>
  void EncodeAll(ByteWriter& out, std::index_sequence<I...>) {
    (EncodeOne<I>(out), ...);
  }

  template <size_t I>
  void EncodeOne(ByteWriter& out) {
    constexpr ParamSpec p = kTableParam<Table, N, I>;
    const auto& arg = std::get<I>(args);
    if constexpr (p.direction == Direction::kOut) {
      return;
    } else if constexpr (p.wire == Wire::kShort) {
      out.I16(arg);
    } else if constexpr (p.wire == Wire::kLong) {
      out.I32(arg);
    } else if constexpr (p.wire == Wire::kBytes) {
      out.U8(arg != nullptr ? 1 : 0);
      if (arg == nullptr) return;
      const int32_t length = std::get<static_cast<size_t>(p.sizedBy)>(args);
      if (length < 0) throw MarshalError(std::string(p.name) + " has a negative length");
      out.Bytes(arg, static_cast<size_t>(length));
    } else if constexpr (p.wire == Wire::kString) {
      if (arg == nullptr) throw MarshalError(std::string(p.name) + " is null", kStatusNullReference);
      const size_t length = std::strlen(arg);
      out.U32(static_cast<uint32_t>(length));
      out.Bytes(reinterpret_cast<const uint8_t*>(arg), length);
    } else if constexpr (p.wire == Wire::kSize) {
      out.U8(arg != nullptr ? 1 : 0);
      if (arg != nullptr) out.I32(*arg);
    } else {
      static_assert(p.wire == Wire::kBuffer);
      if (arg != nullptr) {
        const int32_t* size = std::get<static_cast<size_t>(p.sizedBy)>(args);
        const int32_t capacity = size != nullptr ? *size : 0;
        if (capacity < 0 || capacity > kMaxOutputCapacity) {
          throw MarshalError("output capacity out of range");
        }
        capacities[I] = capacity;
      }
      out.U8(arg != nullptr ? 1 : 0);
    }
  }

  template <size_t... I>
  void DecodeAll(ByteReader& in, std::index_sequence<I...>) {
    (DecodeOne<I>(in), ...);
  }

  template <size_t I>
  void DecodeOne(ByteReader& in) {
    constexpr ParamSpec p = kTableParam<Table, N, I>;
    auto& arg = std::get<I>(args);
    if constexpr (p.direction == Direction::kIn) {
      return;
    } else if constexpr (p.wire == Wire::kShort) {
      arg = in.I16();
    } else if constexpr (p.wire == Wire::kLong) {
      arg = in.I32();
    } else if constexpr (p.wire == Wire::kSize) {
      if (in.Flag() != (arg != nullptr)) throw MarshalError("reply changed a size's presence");
      if (arg != nullptr) *arg = in.I32();
    } else {
      static_assert(p.wire == Wire::kBuffer);
      if (in.Flag() != (arg != nullptr)) throw MarshalError("reply changed a buffer's presence");
      if (arg == nullptr) return;
      const uint32_t count = in.U32();
      const int32_t* size = std::get<static_cast<size_t>(p.sizedBy)>(args);
      if (count > static_cast<uint32_t>(capacities[I]) ||
          (size != nullptr && static_cast<uint32_t>(*size) != count)) {
        throw MarshalError("reply bytes do not fit the buffer");
      }
      std::span<const uint8_t> bytes = in.Take(count);
      if (count != 0) std::memcpy(arg, bytes.data(), count);
    }
  }

  Arguments args;
  std::array<int32_t, kMaxParams> capacities{};
};

// A whole request frame of operation N with these arguments, encoded as the client library
// encodes them; for tools and tests that speak the protocol without the library. Throws
// MarshalError.
template <size_t N, typename... Args>
std::vector<uint8_t> EncodeRequestFrame(uint32_t callId, Args&&... args) {
  ProxyCall<N> call(typename ProxyCall<N>::Arguments(std::forward<Args>(args)...));
  std::vector<uint8_t> frame(kFrameHeaderSize);
  call.EncodeRequest(frame);
  FinishFrame(frame, FrameKind::kRequest, static_cast<uint16_t>(N), callId);
  return frame;
}

}  // namespace rpc
