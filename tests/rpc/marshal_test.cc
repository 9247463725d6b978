#include "rpc/marshal.h"

#include <gtest/gtest.h>

#include <set>

#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using testing::FakeEngine;

// The asynchronous call's context for in-process round trips: completes into a reply payload.
class LocalAsyncCall : public AsyncCallContext {
 public:
  LocalAsyncCall(uint16_t procedureNumber, PendingAsyncCall& pendingCall, int32_t cancelStatus)
      : AsyncCallContext(procedureNumber, CallerIdentity{7, 8, 9}),
        pending(pendingCall),
        cancel(cancelStatus) {}
  int32_t TestCancel() const override { return cancel; }
  void Complete(int32_t result) override {
    ++completions;
    if (completions == 1) pending.EncodeReply(reply, result);
  }
  PendingAsyncCall& pending;
  int32_t cancel;
  int completions = 0;
  std::vector<uint8_t> reply;
};

// Encodes the call as a client would, runs the server stub against the engine and decodes the
// reply into the arguments.
template <size_t N, typename... Args>
auto RoundTripWithCancel(EngineOperations& engine, int32_t cancelStatus, Args&&... args) {
  ProxyCall<N> call(typename ProxyCall<N>::Arguments(std::forward<Args>(args)...));
  std::vector<uint8_t> request;
  call.EncodeRequest(request);
  std::vector<uint8_t> reply;
  const Stub& stub = StubFor(N);
  if (stub.sync != nullptr) {
    CallContext context(N, CallerIdentity{7, 8, 9});
    stub.sync(engine, context, request, reply);
  } else {
    std::unique_ptr<PendingAsyncCall> pending = stub.async(request);
    LocalAsyncCall context(N, *pending, cancelStatus);
    pending->Invoke(engine, context);
    EXPECT_EQ(context.completions, 1);
    reply = context.reply;
  }
  return call.DecodeReply(reply);
}

template <size_t N, typename... Args>
auto RoundTrip(EngineOperations& engine, Args&&... args) {
  return RoundTripWithCancel<N>(engine, kCallNotCancelled, std::forward<Args>(args)...);
}

// Storage for one argument of any kind: zero, null pointers, empty strings.
template <typename T>
struct Holder {
  std::remove_reference_t<T> value{};
  T Get() { return value; }
};
template <>
struct Holder<const char*> {
  const char* Get() { return ""; }
};

template <size_t N, size_t... I>
void CallWithDefaults(FakeEngine& engine, std::index_sequence<I...>) {
  std::tuple<Holder<ParamType<N, I>>...> holders;
  RoundTripWithCancel<N>(engine, kCallCancelled, std::get<I>(holders).Get()...);
}

template <size_t... N>
void CallEveryOperation(FakeEngine& engine, std::index_sequence<N...>) {
  (CallWithDefaults<N>(engine, Indices<N>()), ...);
}

class MarshalTest : public ::testing::Test {
 protected:
  FakeEngine engine;
};

TEST_F(MarshalTest, EveryProcedureNumberReachesTheMethodOfItsName) {
  CallEveryOperation(engine, std::make_index_sequence<kOperationCount>());
  const std::vector<FakeEngine::Call> calls = engine.Calls();
  ASSERT_EQ(calls.size(), kOperationCount);
  for (size_t n = 0; n < kOperationCount; ++n) {
    EXPECT_EQ(calls[n].name, kOperations[n].name) << "procedure " << n;
    EXPECT_EQ(FindOperation(kOperations[n].name), &kOperations[n]);
  }
}

TEST_F(MarshalTest, ByteArraysKeepNullEmptyAndDataApart) {
  const uint8_t data[] = {1, 2, 3};
  int32_t size = 16;
  uint8_t out[16] = {};
  EXPECT_EQ(RoundTrip<5>(engine, 7, 3, data, &size, out), AppletCallStatus::kSuccess);
  EXPECT_EQ(engine.LastCall().args, "reserved=7 inSize=3 inBytes=010203 outSize=16 outBuffer=buf");
  EXPECT_EQ(size, 3);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 3);

  // A null array travels as null whatever its length says.
  size = 16;
  RoundTrip<5>(engine, 0, 5, static_cast<const uint8_t*>(nullptr), &size, out);
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=5 inBytes=null outSize=16 outBuffer=buf");
  // A present array of no bytes is not null.
  size = 16;
  RoundTrip<5>(engine, 0, 0, data, &size, out);
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=0 inBytes=empty outSize=16 outBuffer=buf");
  EXPECT_EQ(size, 0);
}

TEST_F(MarshalTest, OutputPairKeepsEachNullAndTheCapacity) {
  const uint8_t data[] = {9, 8, 7, 6};
  int32_t size = 4;
  EXPECT_EQ(RoundTrip<5>(engine, 0, 4, data, &size, static_cast<uint8_t*>(nullptr)),
            AppletCallStatus::kInvalidApi);
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=4 inBytes=09080706 outSize=4 outBuffer=null");
  EXPECT_EQ(size, 4);

  uint8_t out[8] = {};
  EXPECT_EQ(RoundTrip<5>(engine, 0, 4, data, static_cast<int32_t*>(nullptr), out),
            AppletCallStatus::kInvalidApi);
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=4 inBytes=09080706 outSize=null outBuffer=buf");

  // Too small: the size comes back unchanged.
  size = 3;
  EXPECT_EQ(RoundTrip<5>(engine, 0, 4, data, &size, out), AppletCallStatus::kBufferTooSmall);
  EXPECT_EQ(size, 3);

  // A present buffer of capacity 0 is not null either.
  size = 0;
  EXPECT_EQ(RoundTrip<5>(engine, 0, 0, static_cast<const uint8_t*>(nullptr), &size, out),
            AppletCallStatus::kSuccess);
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=0 inBytes=null outSize=0 outBuffer=buf");

  // Without a buffer the capacity travels as it is, even a nonsensical one.
  size = -5;
  RoundTrip<5>(engine, 0, 0, static_cast<const uint8_t*>(nullptr), &size, static_cast<uint8_t*>(nullptr));
  EXPECT_EQ(engine.LastCall().args, "reserved=0 inSize=0 inBytes=null outSize=-5 outBuffer=null");
}

TEST_F(MarshalTest, ReferenceValuesTravelBothWays) {
  int32_t supported = 5;
  EXPECT_EQ(RoundTrip<9>(engine, int16_t{-2}, supported), BtCallStatus::kSuccess);
  EXPECT_EQ(engine.LastCall().args, "providerType=-2 supported=5");
  EXPECT_EQ(supported, 3);

  const uint8_t id[] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x00};
  int16_t rssi = -40;
  // Every 16 bits of an enum16 result travel.
  EXPECT_EQ(RoundTrip<10>(engine, 8, id, 1, rssi), static_cast<BtCallStatus>(0xFFFF));
  EXPECT_EQ(engine.LastCall().args, "idSize=8 deviceId=aabbccddeeff0100 mustExist=1 rssi=-40");
  EXPECT_EQ(rssi, -50);

  int32_t status = 100;
  RoundTrip<12>(engine, 8, id, 4, status);
  EXPECT_EQ(status, 104);

  int32_t present = 9;
  RoundTrip<20>(engine, 0, static_cast<const uint8_t*>(nullptr), present);
  EXPECT_EQ(engine.LastCall().args, "idSize=0 deviceId=null present=9");
  EXPECT_EQ(present, 0);
}

TEST_F(MarshalTest, StringsAndLongResults) {
  EXPECT_EQ(RoundTrip<15>(engine, "S-1-5-21-1-2-3-1000", ""), 1900);
  EXPECT_EQ(engine.LastCall().args, "userSid=S-1-5-21-1-2-3-1000 second=");
  const uint8_t data[] = {0x42};
  EXPECT_EQ(RoundTrip<16>(engine, int16_t{0}, "alice", 1, data),
            static_cast<int32_t>(keystone::kStatusGeneralFailure));
  EXPECT_EQ(engine.LastCall().args, "mode=0 user=alice dataSize=1 data=42");
}

TEST_F(MarshalTest, AsynchronousCallCarriesItsOutputsWithTheCompletion) {
  int32_t size = 8;
  uint8_t out[8] = {};
  int32_t dataState = 0;
  engine.PublishStatus({1, 2, 3});
  EXPECT_EQ(RoundTrip<3>(engine, &size, out, dataState), kNotifyStatusDelivered);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(dataState, kDataStateWritten);

  size = 2;
  engine.PublishStatus({1, 2, 3});
  EXPECT_EQ(RoundTrip<3>(engine, &size, out, dataState), kNotifyBufferTooSmall);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(dataState, kDataStateNone);

  size = 8;
  EXPECT_EQ(RoundTripWithCancel<3>(engine, kCallCancelled, &size, out, dataState), kNotifyCancelled);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(RoundTripWithCancel<3>(engine, static_cast<int32_t>(kStatusNotListening), &size, out,
                                   dataState),
            kNotifyBadCancelStatus);
}

TEST_F(MarshalTest, ClientRefusesWhatItCannotSend) {
  int32_t size = 4;
  uint8_t out[4] = {};
  const uint8_t data[] = {1};
  auto expectStatus = [](uint32_t status, auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no MarshalError";
    } catch (const MarshalError& e) {
      EXPECT_EQ(e.Status(), status) << e.what();
    }
  };
  expectStatus(kStatusNullReference, [&] { RoundTrip<15>(engine, "a", static_cast<const char*>(nullptr)); });
  expectStatus(kStatusBadStubData, [&] { RoundTrip<5>(engine, 0, -1, data, &size, out); });
  size = -1;
  expectStatus(kStatusBadStubData, [&] { RoundTrip<5>(engine, 0, 1, data, &size, out); });
  size = kMaxOutputCapacity + 1;
  expectStatus(kStatusBadStubData, [&] { RoundTrip<5>(engine, 0, 1, data, &size, out); });
  EXPECT_TRUE(engine.Calls().empty());
}

// A request of operation 17 with every kind of parameter.
std::vector<uint8_t> DiscoveryRequest() {
  const uint8_t data[] = {5, 6};
  int32_t size = 64;
  uint8_t out[64];
  ProxyCall<17> call({int16_t{1}, 2, data, "first", "second", &size, out});
  std::vector<uint8_t> request;
  call.EncodeRequest(request);
  return request;
}

TEST_F(MarshalTest, ServerRejectsEveryTruncationAndTrailingBytes) {
  const std::vector<uint8_t> request = DiscoveryRequest();
  for (size_t length = 0; length < request.size(); ++length) {
    std::vector<uint8_t> reply;
    CallContext context(17, std::nullopt);
    EXPECT_THROW(StubFor(17).sync(engine, context, std::span(request.data(), length), reply),
                 MarshalError)
        << "length " << length;
  }
  std::vector<uint8_t> longer = request;
  longer.push_back(0);
  std::vector<uint8_t> reply;
  CallContext context(17, std::nullopt);
  EXPECT_THROW(StubFor(17).sync(engine, context, longer, reply), MarshalError);
  EXPECT_TRUE(engine.Calls().empty());
  StubFor(17).sync(engine, context, request, reply);
  EXPECT_EQ(engine.Calls().size(), 1u);
}

TEST_F(MarshalTest, ServerRejectsMalformedFields) {
  CallContext context(0, std::nullopt);
  std::vector<uint8_t> reply;
  auto run = [&](uint16_t procedure, std::vector<uint8_t> request) {
    StubFor(procedure).sync(engine, context, request, reply);
  };
  // Presence flag other than 0 or 1.
  EXPECT_THROW(run(18, {0, 0, 0, 0, 2}), MarshalError);
  // Negative length with a present array.
  EXPECT_THROW(run(18, {0xFF, 0xFF, 0xFF, 0xFF, 1}), MarshalError);
  // String longer than the request, and one holding a NUL.
  EXPECT_THROW(run(15, {0xFF, 0, 0, 0, 'a'}), MarshalError);
  EXPECT_THROW(run(15, {2, 0, 0, 0, 'a', 0, 0, 0, 0, 0}), MarshalError);
  // Capacity above the limit and negative, with a buffer.
  std::vector<uint8_t> scan = {0, 0, 1, 0, 0, 0x40, 0, 1};
  EXPECT_THROW(run(13, scan), MarshalError);
  scan = {0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 1};
  EXPECT_THROW(run(13, scan), MarshalError);
  EXPECT_TRUE(engine.Calls().empty());
}

TEST_F(MarshalTest, ServerRefusesToSendASizeBeyondTheCapacity) {
  int32_t size = 4;
  uint8_t out[4] = {};
  EXPECT_THROW(RoundTrip<19>(engine, "overflow", &size, out), MarshalError);
}

TEST_F(MarshalTest, ClientRejectsRepliesThatDoNotMatchTheCall) {
  int32_t size = 4;
  uint8_t out[4] = {};
  ProxyCall<19> call({"sid", &size, out});
  std::vector<uint8_t> request;
  call.EncodeRequest(request);
  // result 0, size present 4, buffer present with 5 bytes: more than the capacity.
  EXPECT_THROW(call.DecodeReply(std::vector<uint8_t>{0, 0, 0, 0, 1, 5, 0, 0, 0, 1, 5, 0, 0, 0, 1, 2, 3, 4, 5}),
               MarshalError);
  // Size says 2 but 3 bytes come.
  size = 4;
  EXPECT_THROW(call.DecodeReply(std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 0, 0, 0, 1, 3, 0, 0, 0, 1, 2, 3}),
               MarshalError);
  // Buffer said absent although the client passed one.
  size = 4;
  EXPECT_THROW(call.DecodeReply(std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0, 0, 0}), MarshalError);
  // A good one.
  size = 4;
  EXPECT_EQ(call.DecodeReply(std::vector<uint8_t>{1, 0, 0, 0, 1, 2, 0, 0, 0, 1, 2, 0, 0, 0, 7, 8}), 1);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(out[1], 8);
}

}  // namespace
}  // namespace rpc
