#include "rpc/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>

#include "rpc/client/client.h"
#include "rpc/frame_io.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using testing::FakeEngine;

struct Frame {
  FrameHeader header;
  std::vector<uint8_t> payload;
};

// A client that speaks the protocol byte by byte, to misbehave at will.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : stream(platform::UnixStream::Connect(path)) {}

  void Send(const std::vector<uint8_t>& bytes) { stream.SendAll(bytes, platform::DeadlineAfter(2s)); }
  void SendFrame(FrameKind kind, uint16_t procedure, uint32_t callId,
                 const std::vector<uint8_t>& payload = {}, uint8_t version = kProtocolVersion) {
    std::vector<uint8_t> frame(kFrameHeaderSize);
    ByteWriter(frame).Bytes(payload.data(), payload.size());
    FinishFrame(frame, kind, procedure, callId);
    frame[4] = version;
    Send(frame);
  }

  // The next frame; empty when the server closed the connection first.
  std::optional<Frame> Read() {
    FrameHeader header;
    std::span<const uint8_t> payload;
    const auto status =
        reader.Next(stream, platform::DeadlineAfter(5s), 5s, kMaxFramePayload, header, payload);
    if (status == FrameReader::Status::kClosed) return std::nullopt;
    if (status != FrameReader::Status::kFrame) throw std::runtime_error("no frame");
    return Frame{header, {payload.begin(), payload.end()}};
  }
  bool ClosedByServer() { return !Read().has_value(); }

  // A GetSessionIdRpc round trip: its result.
  int32_t GetSessionId(uint32_t callId) {
    SendFrame(FrameKind::kRequest, 1, callId);
    const std::optional<Frame> reply = Read();
    if (!reply || reply->header.callId != callId || reply->payload.size() != 4) {
      throw std::runtime_error("bad reply");
    }
    return ByteReader(reply->payload).I32();
  }

  platform::UnixStream stream;
  FrameReader reader;
};

void ExpectFault(const std::optional<Frame>& frame, uint32_t status, uint32_t callId) {
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->header.kind, static_cast<uint8_t>(FrameKind::kFault));
  EXPECT_EQ(frame->header.status, status);
  EXPECT_EQ(frame->header.callId, callId);
}

// NotifyAuthenticateStatusAsyncRpc's request with a buffer of 16 bytes.
const std::vector<uint8_t> kNotifyRequest = {1, 16, 0, 0, 0, 1};

// Its reply: result, size, bytes, dataState.
struct NotifyReply {
  explicit NotifyReply(const Frame& frame) {
    ByteReader in(frame.payload);
    result = in.I32();
    in.Flag();
    size = in.I32();
    in.Flag();
    std::span<const uint8_t> data = in.Take(in.U32());
    bytes.assign(data.begin(), data.end());
    dataState = in.I32();
  }
  int32_t result, size, dataState;
  std::vector<uint8_t> bytes;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { options = testing::TestServerOptions(dir.path + "/IVoxWithMfa"); }
  void TearDown() override {
    engine.OpenGate();
    server.reset();
  }

  void Start() {
    server = std::make_unique<Server>(engine, options);
    server->UseEndpoint();
    server->Listen();
  }
  bool WaitConnections(uint32_t expected) {
    for (int i = 0; i < 2500 && server->OpenConnections() != expected; ++i) {
      std::this_thread::sleep_for(2ms);
    }
    return server->OpenConnections() == expected;
  }

  testing::TempDir dir;
  FakeEngine engine;
  ServerOptions options;
  std::unique_ptr<Server> server;
};

TEST_F(ServerTest, AnswersCallsOnOneConnectionWithTheCallersIdentity) {
  Start();
  RawClient client(options.socketPath);
  EXPECT_EQ(client.GetSessionId(11), 1);
  EXPECT_EQ(client.GetSessionId(12), 2);
  const FakeEngine::Call call = engine.LastCall();
  ASSERT_TRUE(call.caller.has_value());
  EXPECT_EQ(call.caller->pid, static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(call.caller->uid, static_cast<uint32_t>(::getuid()));
  EXPECT_EQ(call.caller->gid, static_cast<uint32_t>(::getgid()));
}

TEST_F(ServerTest, EndpointIsOpenToEveryLocalUserAndReplacesOnlyAStaleSocket) {
  namespace fs = std::filesystem;
  options.socketPath = dir.path + "/run/IVoxWithMfa";
  fs::create_directory(dir.path + "/run");
  // A socket file whose server is gone.
  { platform::UnixListener stale = platform::UnixListener::Bind(options.socketPath, 0600); }
  Start();
  EXPECT_EQ(fs::symlink_status(options.socketPath).type(), fs::file_type::socket);
  EXPECT_EQ(fs::status(options.socketPath).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
  RawClient client(options.socketPath);
  EXPECT_EQ(client.GetSessionId(1), 1);

  Server second(engine, options);
  try {
    second.UseEndpoint();
    ADD_FAILURE() << "a second server took a live endpoint";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EADDRINUSE);
  }
  EXPECT_EQ(client.GetSessionId(2), 2);
  server.reset();
  EXPECT_FALSE(fs::exists(options.socketPath));

  // A created runtime directory is 0755; a file in the way is not replaced.
  options.socketPath = dir.path + "/new/sub/IVoxWithMfa";
  Start();
  EXPECT_EQ(fs::status(dir.path + "/new/sub").permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                fs::perms::others_read | fs::perms::others_exec);
  std::ofstream(dir.path + "/plain") << "x";
  options.socketPath = dir.path + "/plain";
  EXPECT_THROW(Server(engine, options).UseEndpoint(), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(dir.path + "/plain"));
}

TEST_F(ServerTest, OversizeFrameClosesOnlyItsConnection) {
  options.maxFramePayload = 1024;
  Start();
  RawClient good(options.socketPath);
  EXPECT_EQ(good.GetSessionId(1), 1);
  RawClient bad(options.socketPath);
  std::vector<uint8_t> header(kFrameHeaderSize);
  FinishFrame(header, FrameKind::kRequest, 1, 5);
  header[16] = 0x01;  // length 1025
  header[17] = 0x04;
  bad.Send(header);
  ExpectFault(bad.Read(), kStatusProtocolError, 5);
  EXPECT_TRUE(bad.ClosedByServer());

  // Exactly the limit is a frame; its bytes are not GetSessionIdRpc's parameters.
  RawClient edge(options.socketPath);
  edge.SendFrame(FrameKind::kRequest, 1, 6, std::vector<uint8_t>(1024, 0));
  ExpectFault(edge.Read(), kStatusBadStubData, 6);
  EXPECT_EQ(edge.GetSessionId(7), 2);
  EXPECT_EQ(good.GetSessionId(2), 3);
}

TEST_F(ServerTest, GarbageWrongVersionAndWrongKindsAreRefusedAndClosed) {
  Start();
  RawClient garbage(options.socketPath);
  garbage.Send(testing::Bytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ExpectFault(garbage.Read(), kStatusProtocolError, 0);
  EXPECT_TRUE(garbage.ClosedByServer());

  RawClient future(options.socketPath);
  future.SendFrame(FrameKind::kRequest, 1, 77, {}, 2);
  const std::optional<Frame> fault = future.Read();
  ExpectFault(fault, kStatusUnknownVersion, 77);
  EXPECT_EQ(fault->header.version, kProtocolVersion);  // the version the server speaks
  EXPECT_TRUE(future.ClosedByServer());

  for (uint8_t kind : {uint8_t{2}, uint8_t{4}, uint8_t{9}}) {
    RawClient odd(options.socketPath);
    odd.SendFrame(static_cast<FrameKind>(kind), 1, 3);
    ExpectFault(odd.Read(), kStatusProtocolError, 3);
    EXPECT_TRUE(odd.ClosedByServer());
  }
  EXPECT_TRUE(engine.Calls().empty());
}

TEST_F(ServerTest, TruncatedAndStalledFramesHarmNobody) {
  Start();
  RawClient good(options.socketPath);
  EXPECT_EQ(good.GetSessionId(1), 1);
  std::vector<uint8_t> frame(kFrameHeaderSize + 100);
  FinishFrame(frame, FrameKind::kRequest, 2, 10);
  frame.resize(kFrameHeaderSize + 10);
  RawClient(options.socketPath).Send(frame);  // then closed
  RawClient(options.socketPath).Send({0x4B, 0x53, 0x52});

  RawClient stalled(options.socketPath);
  stalled.Send(frame);
  const auto start = std::chrono::steady_clock::now();
  ExpectFault(stalled.Read(), kStatusProtocolError, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(stalled.ClosedByServer());
  EXPECT_TRUE(WaitConnections(1));
  EXPECT_EQ(good.GetSessionId(2), 2);
  EXPECT_EQ(engine.Calls().size(), 2u);
}

TEST_F(ServerTest, GoodClientKeepsWorkingBesideAGarbageClient) {
  Start();
  std::atomic<bool> done{false};
  std::thread noise([&] {
    std::mt19937 random(42);
    while (!done) {
      try {
        std::vector<uint8_t> bytes(1 + random() % 200);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        if (random() % 2 == 0) std::memcpy(bytes.data(), "KSRP", std::min<size_t>(4, bytes.size()));
        RawClient(options.socketPath).Send(bytes);
      } catch (const std::exception&) {
        // The server may close before all the garbage is in.
      }
    }
  });
  Client client(options.socketPath);
  for (int i = 0; i < 300; ++i) {
    int32_t supported = i;
    ASSERT_EQ(client.IsRSSISupportedRpc(int16_t{1}, supported), BtCallStatus::kSuccess);
    ASSERT_EQ(supported, i + 1);
  }
  done = true;
  noise.join();
}

TEST_F(ServerTest, UnknownProcedureBadParametersAndThrowingOperationKeepTheConnection) {
  Start();
  RawClient client(options.socketPath);
  client.SendFrame(FrameKind::kRequest, 24, 1);
  ExpectFault(client.Read(), kStatusProcedureOutOfRange, 1);
  client.SendFrame(FrameKind::kRequest, 2, 2, {1, 2, 3});
  ExpectFault(client.Read(), kStatusBadStubData, 2);
  client.SendFrame(FrameKind::kRequest, 2, 3, {0xD6, 0xFF, 0xFF, 0xFF});  // -42: the fake throws
  ExpectFault(client.Read(), kStatusCallFailed, 3);
  client.SendFrame(FrameKind::kCancel, 0, 99);  // no call open: ignored
  EXPECT_EQ(client.GetSessionId(4), 1);
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

TEST_F(ServerTest, DisconnectMidCallDropsOnlyThatReply) {
  Start();
  engine.CloseGate();
  {
    RawClient leaving(options.socketPath);
    leaving.SendFrame(FrameKind::kRequest, 22, 1);
    ASSERT_TRUE(engine.WaitAtGate(1));
  }
  RawClient staying(options.socketPath);
  EXPECT_EQ(staying.GetSessionId(2), 1);
  engine.OpenGate();
  EXPECT_TRUE(WaitConnections(1));
  EXPECT_EQ(server->CallsInFlight(), 0u);
  EXPECT_EQ(staying.GetSessionId(3), 2);
}

TEST_F(ServerTest, CallsAndConnectionsBeyondTheLimitsGetServerTooBusy) {
  options.maxCalls = 2;
  options.maxConnections = 3;
  Start();
  engine.CloseGate();
  RawClient first(options.socketPath);
  RawClient second(options.socketPath);
  first.SendFrame(FrameKind::kRequest, 22, 1);
  second.SendFrame(FrameKind::kRequest, 22, 2);
  ASSERT_TRUE(engine.WaitAtGate(2));
  RawClient third(options.socketPath);
  third.SendFrame(FrameKind::kRequest, 1, 3);
  ExpectFault(third.Read(), kStatusServerTooBusy, 3);
  third.SendFrame(FrameKind::kRequest, 3, 4, kNotifyRequest);
  ExpectFault(third.Read(), kStatusServerTooBusy, 4);
  RawClient fourth(options.socketPath);
  ExpectFault(fourth.Read(), kStatusServerTooBusy, 0);
  EXPECT_TRUE(fourth.ClosedByServer());

  engine.OpenGate();
  ASSERT_TRUE(first.Read().has_value());
  ASSERT_TRUE(second.Read().has_value());
  EXPECT_EQ(third.GetSessionId(5), 1);
}

TEST_F(ServerTest, IdleConnectionsAreClosed) {
  options.idleTimeout = 50ms;
  Start();
  RawClient client(options.socketPath);
  EXPECT_EQ(client.GetSessionId(1), 1);
  EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(ServerTest, AsyncCallDeliversItsStatusAndTheConnectionGoesOn) {
  Start();
  RawClient client(options.socketPath);
  client.SendFrame(FrameKind::kRequest, 3, 1, kNotifyRequest);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  client.SendFrame(FrameKind::kCancel, 0, 2);  // another call's id: changes nothing
  engine.PublishStatus({0xAB, 0xCD});
  const NotifyReply reply(*client.Read());
  EXPECT_EQ(reply.result, kNotifyStatusDelivered);
  EXPECT_EQ(reply.size, 2);
  EXPECT_EQ(reply.bytes, (std::vector<uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(reply.dataState, kDataStateWritten);

  EXPECT_EQ(client.GetSessionId(3), 1);
  client.SendFrame(FrameKind::kRequest, 3, 4, kNotifyRequest);
  engine.PublishStatus({0x01});
  EXPECT_EQ(NotifyReply(*client.Read()).bytes, std::vector<uint8_t>{0x01});
}

TEST_F(ServerTest, AsyncCallEndsSoonAfterACancelFrameOrADisconnect) {
  Start();
  RawClient client(options.socketPath);
  client.SendFrame(FrameKind::kRequest, 3, 8, kNotifyRequest);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  auto start = std::chrono::steady_clock::now();
  client.SendFrame(FrameKind::kCancel, 0, 8);
  const NotifyReply reply(*client.Read());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(reply.result, kNotifyCancelled);
  EXPECT_EQ(reply.size, 0);
  EXPECT_EQ(reply.dataState, kDataStateNone);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);

  {
    RawClient leaving(options.socketPath);
    leaving.SendFrame(FrameKind::kRequest, 3, 1, kNotifyRequest);
    ASSERT_TRUE(engine.WaitAsyncRunning());
    start = std::chrono::steady_clock::now();
  }
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(WaitConnections(1));
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

TEST_F(ServerTest, RequestWhileAsyncCallIsOpenClosesTheConnection) {
  Start();
  RawClient client(options.socketPath);
  client.SendFrame(FrameKind::kRequest, 3, 1, kNotifyRequest);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  client.SendFrame(FrameKind::kRequest, 1, 2);
  ExpectFault(client.Read(), kStatusProtocolError, 2);
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);
}

TEST_F(ServerTest, StopLetsCallsFinishAndEndsTheAsyncCall) {
  Start();
  engine.CloseGate();
  RawClient waiting(options.socketPath);
  waiting.SendFrame(FrameKind::kRequest, 3, 1, kNotifyRequest);
  RawClient blocked(options.socketPath);
  blocked.SendFrame(FrameKind::kRequest, 22, 2);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  ASSERT_TRUE(engine.WaitAtGate(1));

  auto stopped = std::async(std::launch::async, [&] { return server->StopListening(); });
  // The async call learns of the stop from its cancel test and completes.
  EXPECT_EQ(NotifyReply(*waiting.Read()).result, kNotifyBadCancelStatus);
  EXPECT_TRUE(waiting.ClosedByServer());
  // The synchronous call still gets its reply.
  EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout);
  engine.OpenGate();
  EXPECT_EQ(blocked.Read()->header.kind, static_cast<uint8_t>(FrameKind::kReply));
  EXPECT_TRUE(stopped.get());
  EXPECT_THROW({ RawClient late(options.socketPath); }, std::system_error);
}

TEST_F(ServerTest, StopGivesUpOnACallThatOutlivesItsLimit) {
  options.stopTimeout = 100ms;
  Start();
  engine.CloseGate();
  RawClient blocked(options.socketPath);
  blocked.SendFrame(FrameKind::kRequest, 22, 1);
  ASSERT_TRUE(engine.WaitAtGate(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server->StopListening());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  engine.OpenGate();
  server.reset();  // joins the late call's thread
  EXPECT_EQ(engine.Calls().size(), 1u);
}

}  // namespace
}  // namespace rpc
