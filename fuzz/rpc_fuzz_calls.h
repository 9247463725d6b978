#pragma once

// One call of the RPC interface driven from both ends, for the RPC fuzz target and its seed
// corpus: the client's arguments of an operation (every array exactly as long as the call says,
// so that the address sanitizer sees a read or write past it), an engine whose operations check
// what the server stub handed them and answer with outputs picked by a script, and the check
// that the client library decodes exactly that answer. A failed check aborts with a message.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "rpc/engine_operations.h"
#include "rpc/marshal.h"
#include "rpc/operation_table.h"
#include "rpc/protocol.h"

namespace rpcfuzz {

using rpc::Direction;
using rpc::Wire;

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "rpc fuzz: %s\n", what);
  std::abort();
}

// Longest array or string a chosen call carries, so that inputs stay small.
inline constexpr size_t kMaxChosenBytes = 4096;
// What the client's output buffers hold before a call; bytes past the reply's count keep it.
inline constexpr uint8_t kSentinel = 0xEE;

// Reads an input front to back; past its end every value is zero.
class Choices {
 public:
  explicit Choices(std::span<const uint8_t> source) : in(source) {}
  uint8_t U8() { return position < in.size() ? in[position++] : 0; }
  uint16_t U16() {
    const unsigned low = U8();
    return static_cast<uint16_t>(low | (unsigned{U8()} << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (uint32_t{U16()} << 16);
  }
  // Up to size bytes; fewer when the input ends first.
  std::span<const uint8_t> Take(size_t size) {
    const size_t n = std::min(size, in.size() - position);
    const std::span<const uint8_t> part = in.subspan(position, n);
    position += n;
    return part;
  }
  std::span<const uint8_t> Rest() { return Take(in.size() - position); }

 private:
  std::span<const uint8_t> in;
  size_t position = 0;
};

// The client's storage of one argument; Pass() gives it as the client library takes it.
template <Wire W, Direction D>
struct ClientArg;

template <>
struct ClientArg<Wire::kShort, Direction::kIn> {
  int16_t value = 0;
  int16_t Pass() { return value; }
};
template <>
struct ClientArg<Wire::kLong, Direction::kIn> {
  int32_t value = 0;
  int32_t Pass() { return value; }
};
template <>
struct ClientArg<Wire::kShort, Direction::kInOut> {
  int16_t value = 0;
  int16_t& Pass() { return value; }
};
template <>
struct ClientArg<Wire::kLong, Direction::kInOut> {
  int32_t value = 0;
  int32_t& Pass() { return value; }
};
template <>
struct ClientArg<Wire::kLong, Direction::kOut> {
  int32_t value = 0;
  int32_t& Pass() { return value; }
};
template <>
struct ClientArg<Wire::kBytes, Direction::kIn> {
  std::unique_ptr<uint8_t[]> data;  // null: the client passes null
  size_t size = 0;
  void Assign(const uint8_t* bytes, size_t count) {
    data = std::make_unique<uint8_t[]>(count);
    if (count != 0) std::memcpy(data.get(), bytes, count);
    size = count;
  }
  const uint8_t* Pass() { return data.get(); }
};
template <>
struct ClientArg<Wire::kString, Direction::kIn> {
  bool null = false;
  std::string value;  // may hold a NUL; the client library sends what comes before it
  const char* Pass() { return null ? nullptr : value.c_str(); }
};
template <>
struct ClientArg<Wire::kSize, Direction::kInOut> {
  bool present = false;
  int32_t value = 0;
  int32_t* Pass() { return present ? &value : nullptr; }
};
template <>
struct ClientArg<Wire::kBuffer, Direction::kInOut> {
  std::unique_ptr<uint8_t[]> data;  // null: the client passes null
  int32_t capacity = 0;
  // A buffer of the capacity the size gives (0 without one), filled with kSentinel. Out of range
  // it is a single byte: the client library must refuse the call before touching it.
  void Allocate(const ClientArg<Wire::kSize, Direction::kInOut>& size) {
    capacity = size.present ? size.value : 0;
    const bool usable = capacity >= 0 && capacity <= rpc::kMaxOutputCapacity;
    const size_t bytes = usable ? static_cast<size_t>(capacity) : 1;
    data = std::make_unique<uint8_t[]>(bytes);
    std::memset(data.get(), kSentinel, bytes);
  }
  bool CapacityInRange() const { return capacity >= 0 && capacity <= rpc::kMaxOutputCapacity; }
  uint8_t* Pass() { return data.get(); }
};

template <size_t N, typename Seq = rpc::Indices<N>>
struct ClientArgsOf;
template <size_t N, size_t... I>
struct ClientArgsOf<N, std::index_sequence<I...>> {
  using type = std::tuple<ClientArg<rpc::kParam<N, I>.wire, rpc::kParam<N, I>.direction>...>;
};

template <size_t N, size_t I>
constexpr size_t SizedBy() {
  static_assert(rpc::kParam<N, I>.sizedBy >= 0);
  return static_cast<size_t>(rpc::kParam<N, I>.sizedBy);
}

// The arguments of one call of operation N as a client holds them.
template <size_t N>
class ClientCall {
 public:
  using Arguments = typename rpc::Signature<N>::Arguments;

  ClientCall() = default;
  ClientCall(const ClientCall&) = delete;
  ClientCall& operator=(const ClientCall&) = delete;

  // Arguments picked by choices, parameter by parameter: short U16; long U32; bytes U8 (0 null)
  // then, for a length of 0 or more, that many bytes (the length is cut to kMaxChosenBytes);
  // string U8 (0xFF null), U16 length (modulo kMaxChosenBytes + 1) and the characters; size U8
  // (0 null) and U32; buffer U8 (0 null).
  void Choose(Choices& choices) { ChooseAll(choices, rpc::Indices<N>()); }

  // What a client must have passed for the server to hand the engine these arguments (before
  // the operation changed any). Fails when the server handed over something no client can pass.
  void CopyFrom(const Arguments& server) { CopyAll(server, rpc::Indices<N>()); }

  // Whether the server handed the engine exactly what this client passed.
  bool SameAs(const Arguments& server) const { return SameAll(server, rpc::Indices<N>()); }

  // The status the client library must refuse these arguments with; 0 when it must send them.
  uint32_t EncodeStatus() const { return StatusAll(rpc::Indices<N>()); }

  Arguments Pass() {
    return std::apply([](auto&... arg) { return Arguments(arg.Pass()...); }, args);
  }

  typename ClientArgsOf<N>::type args;

 private:
  template <size_t... I>
  void ChooseAll(Choices& choices, std::index_sequence<I...>) {
    (ChooseOne<I>(choices), ...);
  }

  template <size_t I>
  void ChooseOne(Choices& choices) {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    auto& arg = std::get<I>(args);
    if constexpr (p.wire == Wire::kShort) {
      arg.value = static_cast<int16_t>(choices.U16());
    } else if constexpr (p.wire == Wire::kLong) {
      arg.value = static_cast<int32_t>(choices.U32());
    } else if constexpr (p.wire == Wire::kBytes) {
      if (choices.U8() == 0) return;
      int32_t& length = std::get<SizedBy<N, I>()>(args).value;
      if (length < 0) {
        arg.Assign(nullptr, 0);
        return;
      }
      length = static_cast<int32_t>(std::min(static_cast<size_t>(length), kMaxChosenBytes));
      std::vector<uint8_t> bytes(static_cast<size_t>(length));
      const std::span<const uint8_t> given = choices.Take(bytes.size());
      std::copy(given.begin(), given.end(), bytes.begin());
      arg.Assign(bytes.data(), bytes.size());
    } else if constexpr (p.wire == Wire::kString) {
      arg.null = choices.U8() == 0xFF;
      const std::span<const uint8_t> chars = choices.Take(choices.U16() % (kMaxChosenBytes + 1));
      arg.value.assign(chars.begin(), chars.end());
    } else if constexpr (p.wire == Wire::kSize) {
      arg.present = choices.U8() != 0;
      arg.value = static_cast<int32_t>(choices.U32());
    } else {
      static_assert(p.wire == Wire::kBuffer);
      if (choices.U8() != 0) arg.Allocate(std::get<SizedBy<N, I>()>(args));
    }
  }

  template <size_t... I>
  void CopyAll(const Arguments& server, std::index_sequence<I...>) {
    (CopyOne<I>(server), ...);
  }

  template <size_t I>
  void CopyOne(const Arguments& server) {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    auto& arg = std::get<I>(args);
    const auto& given = std::get<I>(server);
    if constexpr (p.wire == Wire::kShort || p.wire == Wire::kLong) {
      arg.value = given;
    } else if constexpr (p.wire == Wire::kBytes) {
      if (given == nullptr) return;
      const int32_t length = std::get<SizedBy<N, I>()>(server);
      if (length < 0) Fail("the server handed over an array with a negative length");
      arg.Assign(given, static_cast<size_t>(length));
    } else if constexpr (p.wire == Wire::kString) {
      if (given == nullptr) Fail("the server handed over a null string");
      arg.value = given;
    } else if constexpr (p.wire == Wire::kSize) {
      arg.present = given != nullptr;
      if (given != nullptr) arg.value = *given;
    } else {
      static_assert(p.wire == Wire::kBuffer);
      if (given == nullptr) return;
      arg.Allocate(std::get<SizedBy<N, I>()>(args));
      if (!arg.CapacityInRange()) Fail("the server handed over a capacity out of range");
    }
  }

  template <size_t... I>
  bool SameAll(const Arguments& server, std::index_sequence<I...>) const {
    return (SameOne<I>(server) && ...);
  }

  template <size_t I>
  bool SameOne(const Arguments& server) const {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    const auto& arg = std::get<I>(args);
    const auto& given = std::get<I>(server);
    if constexpr (p.direction == Direction::kOut) {
      return true;
    } else if constexpr (p.wire == Wire::kShort || p.wire == Wire::kLong) {
      return arg.value == given;
    } else if constexpr (p.wire == Wire::kBytes) {
      if ((arg.data == nullptr) != (given == nullptr)) return false;
      return given == nullptr || arg.size == 0 || std::memcmp(given, arg.data.get(), arg.size) == 0;
    } else if constexpr (p.wire == Wire::kString) {
      return given != nullptr && std::strcmp(given, arg.value.c_str()) == 0;
    } else if constexpr (p.wire == Wire::kSize) {
      return arg.present == (given != nullptr) && (given == nullptr || *given == arg.value);
    } else {
      static_assert(p.wire == Wire::kBuffer);
      return (arg.data == nullptr) == (given == nullptr);
    }
  }

  template <size_t... I>
  uint32_t StatusAll(std::index_sequence<I...>) const {
    uint32_t status = 0;
    ((status = status != 0 ? status : StatusOne<I>()), ...);
    return status;
  }

  template <size_t I>
  uint32_t StatusOne() const {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    const auto& arg = std::get<I>(args);
    if constexpr (p.wire == Wire::kBytes) {
      const bool negative = std::get<SizedBy<N, I>()>(args).value < 0;
      return arg.data != nullptr && negative ? rpc::kStatusBadStubData : 0;
    } else if constexpr (p.wire == Wire::kString) {
      return arg.null ? rpc::kStatusNullReference : 0;
    } else if constexpr (p.wire == Wire::kBuffer) {
      return arg.data != nullptr && !arg.CapacityInRange() ? rpc::kStatusBadStubData : 0;
    } else {
      return 0;
    }
  }
};

// A value derived from the script, different for each salt.
inline uint32_t Mix(uint32_t script, uint32_t salt) {
  uint32_t x = script ^ (salt * 0x9E3779B9u);
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// Buffers of up to the largest capacity, compared and copied with memcmp and memcpy: byte loops
// over 2 MiB (instrumented for coverage) would make such inputs cost tens of milliseconds.
struct ByteRuns {
  ByteRuns() : zeros(kLength, 0), sentinels(kLength, kSentinel), pattern(kLength + 256) {
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  static constexpr size_t kLength = static_cast<size_t>(rpc::kMaxOutputCapacity);
  std::vector<uint8_t> zeros;
  std::vector<uint8_t> sentinels;
  std::vector<uint8_t> pattern;
};

inline const ByteRuns& Runs() {
  static const ByteRuns runs;
  return runs;
}

// What the engine writes into an output buffer: a ramp whose start the script picks.
inline const uint8_t* Pattern(uint32_t script) {
  return Runs().pattern.data() + ((script >> 8) & 0xFF);
}

// The size the engine leaves beside a buffer of this capacity: by the script's low three bits
// the whole buffer, none of it, half, a small count, or (one in four) a value outside it.
inline int32_t ChosenCount(uint32_t script, int32_t capacity) {
  const int64_t wide = capacity;
  int64_t count = 0;
  switch (script & 7) {
    case 0:
    case 1:
      count = wide;
      break;
    case 2:
      count = 0;
      break;
    case 3:
      count = wide / 2;
      break;
    case 4:
    case 5:
      count = std::min<int64_t>(wide, (script >> 3) & 0xFF);
      break;
    case 6:
      count = wide + 1;
      break;
    default:
      count = -1 - static_cast<int64_t>((script >> 3) & 0xF);
      break;
  }
  return static_cast<int32_t>(count);  // wraps past INT32_MAX, as a client's size may sit there
}

// The engine's part in one call of operation N, and what the client must see of it.
template <size_t N>
class CallCheck {
 public:
  using Arguments = typename rpc::Signature<N>::Arguments;
  using Result = typename rpc::Signature<N>::Result;
  using StoredResult = std::conditional_t<std::is_void_v<Result>, int32_t, Result>;

  enum class Role {
    // The request came first: the client is rebuilt from what the server decoded and must
    // encode to the same bytes; the engine answers by the script.
    kMirror,
    // The client's arguments came first: the server must hand over the same; the engine
    // answers by the script.
    kCompare,
    // As kMirror, without an answer: the outputs stay as the server made them.
    kCapture,
    // The engine answers with the outputs and result held by replaySource (from a reply that
    // the client library decoded).
    kReplay,
  };

  CallCheck(Role checkRole, uint32_t checkScript) : role(checkRole), script(checkScript) {}
  CallCheck(const CallCheck&) = delete;
  CallCheck& operator=(const CallCheck&) = delete;

  // Called by the engine with the arguments the stub handed it; returns the operation's result.
  StoredResult OnCall(Arguments& server) {
    if (called) Fail("an operation ran twice for one request");
    called = true;
    if (role == Role::kReplay) {
      ReplayAll(server, rpc::Indices<N>());
      return replayResult;
    }
    TouchAll(server, rpc::Indices<N>());
    if (role == Role::kCompare) {
      if (!client.SameAs(server))
        Fail("the server handed over other arguments than the client sent");
    } else {
      client.CopyFrom(server);
      proxy.emplace(client.Pass());
      std::vector<uint8_t> again;
      try {
        proxy->EncodeRequest(again);
      } catch (const rpc::MarshalError&) {
        Fail("the client library refuses arguments the server accepted");
      }
      if (!std::equal(again.begin(), again.end(), request.begin(), request.end())) {
        Fail("a decoded request does not encode to the same bytes");
      }
    }
    if (role == Role::kCapture) return StoredResult{};
    AnswerAll(server, rpc::Indices<N>());
    const uint32_t value = Mix(script, 100);
    if constexpr (sizeof(StoredResult) == 2) {
      answeredResult = static_cast<StoredResult>(static_cast<uint16_t>(value));
    } else {
      answeredResult = static_cast<StoredResult>(static_cast<int32_t>(value));
    }
    return answeredResult;
  }

  // The client library decodes the reply the server encoded from the answer; it must accept it
  // and leave exactly the answer in the client's arguments.
  void VerifyReply(std::span<const uint8_t> reply) {
    if (!proxy) Fail("no client call to decode the reply");
    try {
      if constexpr (std::is_void_v<Result>) {
        proxy->DecodeReply(reply);
      } else if (proxy->DecodeReply(reply) != answeredResult) {
        Fail("the client decoded another result than the engine returned");
      }
    } catch (const rpc::MarshalError&) {
      Fail("the client library refuses a reply the server encoded");
    }
    VerifyAll(rpc::Indices<N>());
  }

  const Role role;
  uint32_t script;
  std::span<const uint8_t> request;  // kMirror, kCapture: the payload the server decoded
  ClientCall<N> client;
  std::optional<rpc::ProxyCall<N>> proxy;
  const ClientCall<N>* replaySource = nullptr;  // kReplay
  StoredResult replayResult{};                  // kReplay
  bool called = false;
  // An output the engine left lies outside its buffer: the server must refuse to send it.
  bool beyondCapacity = false;

 private:
  // Reads every byte of the input arrays and strings; checks that each output buffer is zeroed
  // and as long as its capacity, and fills it with the pattern.
  template <size_t... I>
  void TouchAll(Arguments& server, std::index_sequence<I...>) {
    (TouchOne<I>(server), ...);
  }

  template <size_t I>
  void TouchOne(Arguments& server) {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    auto& given = std::get<I>(server);
    if constexpr (p.wire == Wire::kBytes) {
      if (given == nullptr) return;
      const int32_t length = std::get<SizedBy<N, I>()>(server);
      if (length < 0) Fail("the server handed over an array with a negative length");
      unsigned sum = 0;
      for (int32_t i = 0; i < length; ++i) sum += given[i];
      checksum += sum;
    } else if constexpr (p.wire == Wire::kString) {
      if (given == nullptr) Fail("the server handed over a null string");
      checksum += static_cast<unsigned>(std::strlen(given));
    } else if constexpr (p.wire == Wire::kBuffer) {
      if (given == nullptr) return;
      const int32_t* size = std::get<SizedBy<N, I>()>(server);
      const int32_t capacity = size != nullptr ? *size : 0;
      if (capacity < 0 || capacity > rpc::kMaxOutputCapacity) {
        Fail("the server handed over a capacity out of range");
      }
      const auto bytes = static_cast<size_t>(capacity);
      if (bytes != 0 && std::memcmp(given, Runs().zeros.data(), bytes) != 0) {
        Fail("an output buffer was not zeroed");
      }
      if (bytes != 0) std::memcpy(given, Pattern(script), bytes);
    }
  }

  template <size_t... I>
  void AnswerAll(Arguments& server, std::index_sequence<I...>) {
    (AnswerOne<I>(server), ...);
  }

  template <size_t I>
  void AnswerOne(Arguments& server) {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    auto& given = std::get<I>(server);
    if constexpr (p.direction == Direction::kIn) {
      return;
    } else if constexpr (p.wire == Wire::kShort) {
      given = static_cast<int16_t>(Mix(script, I));
      answered[I] = given;
    } else if constexpr (p.wire == Wire::kLong) {
      given = static_cast<int32_t>(Mix(script, I));
      answered[I] = given;
    } else if constexpr (p.wire == Wire::kSize) {
      if (given == nullptr) return;
      const int32_t capacity = *given;
      *given = ChosenCount(script, capacity);
      answered[I] = *given;
      // The table puts each buffer right after its size.
      const bool buffer = std::get<I + 1>(server) != nullptr;
      if (buffer && (*given < 0 || *given > capacity)) beyondCapacity = true;
    }
  }

  template <size_t... I>
  void ReplayAll(Arguments& server, std::index_sequence<I...>) {
    (ReplayOne<I>(server), ...);
  }

  template <size_t I>
  void ReplayOne(Arguments& server) {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    auto& given = std::get<I>(server);
    const auto& decoded = std::get<I>(replaySource->args);
    if constexpr (p.direction == Direction::kIn) {
      return;
    } else if constexpr (p.wire == Wire::kShort || p.wire == Wire::kLong) {
      given = decoded.value;
    } else if constexpr (p.wire == Wire::kSize) {
      if ((given != nullptr) != decoded.present) Fail("a size's presence changed");
      if (given != nullptr) *given = decoded.value;
    } else {
      static_assert(p.wire == Wire::kBuffer);
      if ((given != nullptr) != (decoded.data != nullptr)) Fail("a buffer's presence changed");
      if (given == nullptr) return;
      const auto& size = std::get<SizedBy<N, I>()>(replaySource->args);
      const int32_t count = size.present ? size.value : 0;
      if (count > 0 && count <= decoded.capacity) {
        std::memcpy(given, decoded.data.get(), static_cast<size_t>(count));
      }
    }
  }

  template <size_t... I>
  void VerifyAll(std::index_sequence<I...>) const {
    (VerifyOne<I>(), ...);
  }

  template <size_t I>
  void VerifyOne() const {
    constexpr rpc::ParamSpec p = rpc::kParam<N, I>;
    const auto& arg = std::get<I>(client.args);
    if constexpr (p.direction == Direction::kIn) {
      return;
    } else if constexpr (p.wire == Wire::kShort || p.wire == Wire::kLong) {
      if (arg.value != answered[I]) Fail("the client decoded another output value");
    } else if constexpr (p.wire == Wire::kSize) {
      if (arg.present && arg.value != answered[I]) Fail("the client decoded another size");
    } else {
      static_assert(p.wire == Wire::kBuffer);
      if (arg.data == nullptr) return;
      const auto& size = std::get<SizedBy<N, I>()>(client.args);
      const int32_t count = size.present ? size.value : 0;
      if (count < 0 || count > arg.capacity) Fail("the client took a count beyond its buffer");
      const auto copied = static_cast<size_t>(count);
      const auto rest = static_cast<size_t>(arg.capacity - count);
      if ((copied != 0 && std::memcmp(arg.data.get(), Pattern(script), copied) != 0) ||
          (rest != 0 && std::memcmp(arg.data.get() + copied, Runs().sentinels.data(), rest) != 0)) {
        Fail("the client's buffer does not hold exactly the reply's bytes");
      }
    }
  }

  std::array<int64_t, rpc::kMaxParams> answered{};
  StoredResult answeredResult{};
  unsigned checksum = 0;  // keeps the reads of TouchAll
};

// The engine behind the stubs: each operation hands its arguments to the CallCheck armed for
// it. One call at a time.
class FuzzEngine final : public rpc::EngineOperations {
 public:
  template <size_t N>
  void Expect(CallCheck<N>& check) {
    expected = N;
    armed = &check;
  }
  void Disarm() { armed = nullptr; }

  void ResetServiceRpc(rpc::CallContext& call) override { Run<0>(call); }
  int32_t GetSessionIdRpc(rpc::CallContext& call) override { return Run<1>(call); }
  void ReleaseSessionIdRpc(rpc::CallContext& call, int32_t sessionId) override {
    Run<2>(call, sessionId);
  }
  void NotifyAuthenticateStatusAsyncRpc(rpc::AsyncCallContext& call, int32_t* outSize,
                                        uint8_t* outBuffer, int32_t& dataState) override {
    Run<3>(call, outSize, outBuffer, dataState);
  }
  void UpdateAuthenticationErrorStateRpc(rpc::CallContext& call, int32_t first,
                                         int32_t second) override {
    Run<4>(call, first, second);
  }
  rpc::AppletCallStatus SendMessageToAppletRpc(rpc::CallContext& call, int32_t reserved,
                                               int32_t inSize, const uint8_t* inBytes,
                                               int32_t* outSize, uint8_t* outBuffer) override {
    return Run<5>(call, reserved, inSize, inBytes, outSize, outBuffer);
  }
  void SetBTMockModeRpc(rpc::CallContext& call) override { Run<6>(call); }
  rpc::BtCallStatus SendMessageToBtDeviceRpc(rpc::CallContext& call, int32_t idSize,
                                             const uint8_t* deviceId, int32_t inSize,
                                             const uint8_t* inBytes, int32_t interactive,
                                             int32_t* outSize, uint8_t* outBuffer) override {
    return Run<7>(call, idSize, deviceId, inSize, inBytes, interactive, outSize, outBuffer);
  }
  rpc::BtCallStatus EstablishConnectionWithBtDeviceRpc(rpc::CallContext& call, int32_t idSize,
                                                       const uint8_t* deviceId) override {
    return Run<8>(call, idSize, deviceId);
  }
  rpc::BtCallStatus IsRSSISupportedRpc(rpc::CallContext& call, int16_t providerType,
                                       int32_t& supported) override {
    return Run<9>(call, providerType, supported);
  }
  rpc::BtCallStatus GetRSSIRpc(rpc::CallContext& call, int32_t idSize, const uint8_t* deviceId,
                               int32_t mustExist, int16_t& rssi) override {
    return Run<10>(call, idSize, deviceId, mustExist, rssi);
  }
  rpc::BtCallStatus CalibrateRSSIRpc(rpc::CallContext& call, int32_t idSize,
                                     const uint8_t* deviceId) override {
    return Run<11>(call, idSize, deviceId);
  }
  rpc::BtCallStatus GetDeviceStatusRpc(rpc::CallContext& call, int32_t idSize,
                                       const uint8_t* deviceId, int32_t flag,
                                       int32_t& status) override {
    return Run<12>(call, idSize, deviceId, flag, status);
  }
  rpc::BtCallStatus ScanRpc(rpc::CallContext& call, int16_t scanType, int32_t* outSize,
                            uint8_t* outBuffer) override {
    return Run<13>(call, scanType, outSize, outBuffer);
  }
  void UpdateProximityStateRpc(rpc::CallContext& call, int32_t idSize, const uint8_t* deviceId,
                               int32_t state) override {
    Run<14>(call, idSize, deviceId, state);
  }
  int32_t AuthenticationOnDesktopRpc(rpc::CallContext& call, const char* userSid,
                                     const char* second) override {
    return Run<15>(call, userSid, second);
  }
  int32_t TriggerDataBackupRpc(rpc::CallContext& call, int16_t mode, const char* user,
                               int32_t dataSize, const uint8_t* data) override {
    return Run<16>(call, mode, user, dataSize, data);
  }
  int32_t GetDiscoveryInfoRpc(rpc::CallContext& call, int16_t kind, int32_t dataSize,
                              const uint8_t* data, const char* first, const char* second,
                              int32_t* outSize, uint8_t* outBuffer) override {
    return Run<17>(call, kind, dataSize, data, first, second, outSize, outBuffer);
  }
  int32_t MirrorFactorSupportedStatusRpc(rpc::CallContext& call, int32_t dataSize,
                                         const uint8_t* data) override {
    return Run<18>(call, dataSize, data);
  }
  int32_t GetUserRecordsRpc(rpc::CallContext& call, const char* userSid, int32_t* outSize,
                            uint8_t* outBuffer) override {
    return Run<19>(call, userSid, outSize, outBuffer);
  }
  rpc::BtCallStatus IsPhonePresentRpc(rpc::CallContext& call, int32_t idSize,
                                      const uint8_t* deviceId, int32_t& present) override {
    return Run<20>(call, idSize, deviceId, present);
  }
  int32_t SetUserPresenceRpc(rpc::CallContext& call, int32_t dataSize,
                             const uint8_t* data) override {
    return Run<21>(call, dataSize, data);
  }
  void InitializeSessionRpc(rpc::CallContext& call) override { Run<22>(call); }
  int32_t RunEnrollmentFlowRpc(rpc::CallContext& call, int32_t value, const char* first,
                               const char* second, int32_t dataSize, const uint8_t* data) override {
    return Run<23>(call, value, first, second, dataSize, data);
  }

 private:
  // The operation's result (ignored where it returns nothing or completes its call itself).
  template <size_t N, typename... Parameters>
  typename CallCheck<N>::StoredResult Run(rpc::CallContext& call, Parameters&&... parameters) {
    if (armed == nullptr || expected != N || call.Procedure() != N) {
      Fail("a stub ran another operation than its procedure number names");
    }
    auto& check = *static_cast<CallCheck<N>*>(armed);
    armed = nullptr;
    typename rpc::Signature<N>::Arguments server(parameters...);
    const auto result = check.OnCall(server);
    if constexpr (rpc::Signature<N>::kAsync) {
      static_cast<rpc::AsyncCallContext&>(call).Complete(result);
    }
    return result;
  }

  void* armed = nullptr;  // a CallCheck<expected>
  size_t expected = 0;
};

// The call of the asynchronous operation, completed at once.
class CompletedCall final : public rpc::AsyncCallContext {
 public:
  using AsyncCallContext::AsyncCallContext;
  int32_t TestCancel() const override { return rpc::kCallNotCancelled; }
  void Complete(int32_t value) override {
    if (completed) Fail("an asynchronous call completed twice");
    completed = true;
    result = value;
  }
  bool completed = false;
  int32_t result = 0;
};

inline const rpc::CallerIdentity kFuzzCaller{4242, 1000, 1000};

struct StubOutcome {
  uint32_t status = 0;  // the MarshalError's status, 0 when the stub produced a reply
  std::vector<uint8_t> reply;
};

// Runs payload through the server stub of procedure N, as the server does.
template <size_t N>
StubOutcome RunStub(FuzzEngine& engine, CallCheck<N>& check, std::span<const uint8_t> payload) {
  StubOutcome outcome;
  engine.Expect(check);
  try {
    const std::unique_ptr<rpc::PreparedCall> prepared = rpc::PrepareCall(N, payload);
    prepared->AllocateOutputs();
    if constexpr (rpc::kOperations[N].async) {
      CompletedCall call(N, kFuzzCaller);
      prepared->Invoke(engine, call);
      if (!call.completed) Fail("the asynchronous operation did not complete");
      prepared->EncodeReply(outcome.reply, call.result);
    } else {
      rpc::CallContext call(N, kFuzzCaller);
      prepared->Run(engine, call, outcome.reply);
    }
  } catch (const rpc::MarshalError& e) {
    outcome.status = e.Status();
    outcome.reply.clear();
  }
  engine.Disarm();
  return outcome;
}

// Serves one request of operation N and checks the outcome; returns whether the request was
// decoded (a refused one must be refused as bad stub data).
template <size_t N>
bool ServeAndVerify(FuzzEngine& engine, CallCheck<N>& check, std::span<const uint8_t> payload) {
  const StubOutcome outcome = RunStub(engine, check, payload);
  if (!check.called) {
    if (outcome.status != rpc::kStatusBadStubData)
      Fail("a request failed other than as bad stub data");
    return false;
  }
  if (check.beyondCapacity) {
    if (outcome.status != rpc::kStatusBadStubData) Fail("the server sent a size beyond its buffer");
    return true;
  }
  if (outcome.status != 0) Fail("a call the engine answered ended in a fault");
  check.VerifyReply(outcome.reply);
  return true;
}

}  // namespace rpcfuzz
