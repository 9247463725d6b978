#include "rpc/marshal.h"

#include <gtest/gtest.h>

#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

// The round trips of every operation through the client library and keystonectl are in their
// tests; here the server stubs and the reply decoder meet bytes no client of ours would send.
class MarshalTest : public ::testing::Test {
 protected:
  void Run(uint16_t procedure, std::span<const uint8_t> request) {
    std::vector<uint8_t> reply;
    CallContext context(procedure, std::nullopt);
    std::unique_ptr<PreparedCall> call = PrepareCall(procedure, request);
    call->AllocateOutputs();
    call->Run(engine, context, reply);
  }

  testing::FakeEngine engine;
};

// GetDiscoveryInfoRpc has a parameter of every kind: a request of any other length than its
// own is refused, and so is each field no client of ours would send.
TEST_F(MarshalTest, ServerRejectsMalformedRequests) {
  const uint8_t data[] = {5, 6};
  int32_t size = 64;
  uint8_t out[64];
  ProxyCall<17> call({int16_t{1}, 2, data, "first", "second", &size, out});
  std::vector<uint8_t> request;
  call.EncodeRequest(request);
  for (size_t length = 0; length <= request.size() + 1; ++length) {
    if (length == request.size()) continue;
    std::vector<uint8_t> other = request;
    other.resize(length);  // cut, or one byte more
    EXPECT_THROW(Run(17, other), MarshalError) << length;
  }
  const struct {
    const char* what;
    uint16_t procedure;
    std::vector<uint8_t> request;
  } cases[] = {
      {"presence flag 2", 18, {0, 0, 0, 0, 2}},
      {"negative length of a present array", 18, {0xFF, 0xFF, 0xFF, 0xFF, 1}},
      {"string longer than the request", 15, {0xFF, 0, 0, 0, 'a'}},
      {"string holding a NUL", 15, {2, 0, 0, 0, 'a', 0, 0, 0, 0, 0}},
      {"capacity above the limit", 13, {0, 0, 1, 1, 0, 0x20, 0, 1}},
      {"negative capacity", 13, {0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 1}},
  };
  for (const auto& c : cases) EXPECT_THROW(Run(c.procedure, c.request), MarshalError) << c.what;
  EXPECT_TRUE(engine.Calls().empty());

  Run(17, request);
  EXPECT_EQ(engine.LastCall().args,
            "kind=1 dataSize=2 data=0506 first=first second=second outSize=64 outBuffer=buf");
  // The capacity at the limit is accepted.
  Run(13, std::vector<uint8_t>{0, 0, 1, 0, 0, 0x20, 0, 1});
  EXPECT_EQ(engine.LastCall().args, "scanType=0 outSize=2097152 outBuffer=buf");
}

TEST_F(MarshalTest, ClientRejectsRepliesThatDoNotMatchTheCall) {
  int32_t size = 4;
  uint8_t out[4] = {};
  ProxyCall<19> call({"sid", &size, out});
  std::vector<uint8_t> request;
  call.EncodeRequest(request);
  // Each: result 0, size, buffer.
  const std::vector<uint8_t> bad[] = {
      {0, 0, 0, 0, 1, 5, 0, 0, 0, 1, 5, 0, 0, 0, 1, 2, 3, 4, 5},  // 5 bytes above capacity 4
      {0, 0, 0, 0, 1, 2, 0, 0, 0, 1, 3, 0, 0, 0, 1, 2, 3},        // size 2, 3 bytes
      {0, 0, 0, 0, 1, 0, 0, 0, 0, 0},  // buffer absent although the client passed one
  };
  for (const std::vector<uint8_t>& reply : bad) {
    size = 4;
    EXPECT_THROW(call.DecodeReply(reply), MarshalError);
  }
  size = 4;
  EXPECT_EQ(call.DecodeReply(std::vector<uint8_t>{1, 0, 0, 0, 1, 2, 0, 0, 0, 1, 2, 0, 0, 0, 7, 8}),
            1);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(out[1], 8);
}

}  // namespace
}  // namespace rpc
