#include "rpc/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "rpc/frame_io.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> FrameBytes(FrameKind kind, uint16_t procedure, uint32_t callId,
                                const std::vector<uint8_t>& payload = {},
                                uint8_t version = kProtocolVersion) {
  std::vector<uint8_t> frame(kFrameHeaderSize);
  ByteWriter(frame).Bytes(payload.data(), payload.size());
  FinishFrame(frame, kind, procedure, callId);
  frame[4] = version;
  return frame;
}

// NotifyAuthenticateStatusAsyncRpc's request with a buffer of 16 bytes.
const std::vector<uint8_t> kNotifyRequest = {1, 16, 0, 0, 0, 1};

// A client that speaks the protocol byte by byte, to misbehave at will.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : stream(platform::UnixStream::Connect(path)) {}

  void Send(const std::vector<uint8_t>& bytes) {
    stream.SendAll(bytes, platform::DeadlineAfter(2s));
  }
  void SendFrame(FrameKind kind, uint16_t procedure, uint32_t callId,
                 const std::vector<uint8_t>& payload = {}) {
    Send(FrameBytes(kind, procedure, callId, payload));
  }
  // The next frame's header; empty when the server closed the connection first.
  std::optional<FrameHeader> Read() {
    FrameHeader header;
    std::span<const uint8_t> payload;
    const auto status =
        reader.Next(stream, platform::DeadlineAfter(5s), 5s, kMaxFramePayload, header, payload);
    if (status == FrameReader::Status::kClosed) return std::nullopt;
    if (status != FrameReader::Status::kFrame) throw std::runtime_error("no frame");
    lastPayload.assign(payload.begin(), payload.end());
    return header;
  }
  bool ClosedByServer() { return !Read().has_value(); }
  // A GetSessionIdRpc round trip: its result.
  int32_t GetSessionId(uint32_t callId) {
    SendFrame(FrameKind::kRequest, 1, callId);
    const std::optional<FrameHeader> reply = Read();
    if (!reply || reply->callId != callId || lastPayload.size() != 4) {
      throw std::runtime_error("bad reply");
    }
    return ByteReader(lastPayload).I32();
  }

  platform::UnixStream stream;
  FrameReader reader;
  std::vector<uint8_t> lastPayload;
};

void ExpectFrame(const std::optional<FrameHeader>& header, FrameKind kind, uint32_t callId,
                 uint32_t status = 0) {
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->kind, static_cast<uint8_t>(kind));
  EXPECT_EQ(header->status, status);
  EXPECT_EQ(header->callId, callId);
}

using ServerTest = testing::ServerFixture;

TEST_F(ServerTest, EndpointIsOpenToEveryLocalUserAndReplacesOnlyAStaleSocket) {
  namespace fs = std::filesystem;
  options.socketPath = dir.File("run/IVoxWithMfa");
  fs::create_directory(dir.File("run"));
  // A socket file whose server is gone.
  { platform::UnixListener stale = platform::UnixListener::Bind(options.socketPath, 0600); }
  Start();
  EXPECT_EQ(fs::symlink_status(options.socketPath).type(), fs::file_type::socket);
  EXPECT_EQ(fs::status(options.socketPath).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
  RawClient client(options.socketPath);
  EXPECT_EQ(client.GetSessionId(11), 1);
  const testing::FakeEngine::Call call = engine.LastCall();
  ASSERT_TRUE(call.caller.has_value());
  EXPECT_EQ(call.caller->pid, static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(call.caller->uid, static_cast<uint32_t>(::getuid()));
  EXPECT_EQ(call.caller->gid, static_cast<uint32_t>(::getgid()));
  // A live endpoint is not taken over.
  EXPECT_THROW(Server(engine, options).UseEndpoint(), std::system_error);
  EXPECT_EQ(client.GetSessionId(12), 2);

  // A created runtime directory is 0755; a file in the way is not replaced.
  options.socketPath = dir.File("new/sub/IVoxWithMfa");
  Start();
  EXPECT_EQ(fs::status(dir.File("new/sub")).permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                fs::perms::others_read | fs::perms::others_exec);
  std::ofstream(dir.File("plain")) << "x";
  options.socketPath = dir.File("plain");
  EXPECT_THROW(Server(engine, options).UseEndpoint(), std::system_error);
  EXPECT_TRUE(fs::is_regular_file(dir.File("plain")));
}

// Each malformed start of a connection gets a fault and the close; the others go on.
TEST_F(ServerTest, MalformedFramesCloseOnlyTheirConnection) {
  options.maxFramePayload = 1024;
  Start();
  RawClient good(options.socketPath);
  EXPECT_EQ(good.GetSessionId(1), 1);
  std::vector<uint8_t> oversize = FrameBytes(FrameKind::kRequest, 1, 5);
  oversize[16] = 0x01;  // length 1025
  oversize[17] = 0x04;
  std::vector<uint8_t> stalled = FrameBytes(FrameKind::kRequest, 2, 10, std::vector<uint8_t>(100));
  stalled.resize(kFrameHeaderSize + 10);
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t status, callId;
  } cases[] = {
      {"oversize", oversize, kStatusProtocolError, 5},
      {"garbage", testing::Bytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), kStatusProtocolError, 0},
      {"version 2", FrameBytes(FrameKind::kRequest, 1, 77, {}, 2), kStatusUnknownVersion, 77},
      {"kind 2", FrameBytes(static_cast<FrameKind>(2), 1, 3), kStatusProtocolError, 3},
      // Within the frame limit, not within the test's limit.
      {"stalled", stalled, kStatusProtocolError, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawClient bad(options.socketPath);
    bad.Send(c.bytes);
    const auto start = std::chrono::steady_clock::now();
    const std::optional<FrameHeader> fault = bad.Read();
    ExpectFrame(fault, FrameKind::kFault, c.callId, c.status);
    EXPECT_EQ(fault->version, kProtocolVersion);  // the version the server speaks
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(bad.ClosedByServer());
  }
  // Closed inside a frame and inside a header.
  RawClient(options.socketPath).Send(stalled);
  RawClient(options.socketPath).Send({0x4B, 0x53, 0x52});
  EXPECT_TRUE(WaitConnections(1));

  // Exactly the limit is a frame; its bytes are not GetSessionIdRpc's parameters.
  RawClient edge(options.socketPath);
  edge.SendFrame(FrameKind::kRequest, 1, 6, std::vector<uint8_t>(1024, 0));
  ExpectFrame(edge.Read(), FrameKind::kFault, 6, kStatusBadStubData);
  EXPECT_EQ(edge.GetSessionId(7), 2);
  EXPECT_EQ(good.GetSessionId(2), 3);
  EXPECT_EQ(engine.Calls().size(), 3u);
}

TEST_F(ServerTest, UnknownProcedureAndBadParametersKeepTheConnection) {
  Start();
  RawClient client(options.socketPath);
  client.SendFrame(FrameKind::kRequest, 24, 1);
  ExpectFrame(client.Read(), FrameKind::kFault, 1, kStatusProcedureOutOfRange);
  client.SendFrame(FrameKind::kRequest, 2, 2, {1, 2, 3});
  ExpectFrame(client.Read(), FrameKind::kFault, 2, kStatusBadStubData);
  client.SendFrame(FrameKind::kCancel, 0, 99);  // no call open: ignored
  EXPECT_EQ(client.GetSessionId(4), 1);
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

TEST_F(ServerTest, BeyondTheLimitsServerTooBusyAndADisconnectDropsOnlyItsReply) {
  options.maxCalls = 2;
  options.maxConnections = 3;
  Start();
  engine.SetGate(false);
  auto first = std::make_unique<RawClient>(options.socketPath);
  RawClient second(options.socketPath);
  first->SendFrame(FrameKind::kRequest, 22, 1);
  second.SendFrame(FrameKind::kRequest, 22, 2);
  ASSERT_TRUE(engine.WaitAtGate(2));
  RawClient third(options.socketPath);
  third.SendFrame(FrameKind::kRequest, 1, 3);
  ExpectFrame(third.Read(), FrameKind::kFault, 3, kStatusServerTooBusy);
  third.SendFrame(FrameKind::kRequest, 3, 4, kNotifyRequest);
  ExpectFrame(third.Read(), FrameKind::kFault, 4, kStatusServerTooBusy);
  RawClient fourth(options.socketPath);
  ExpectFrame(fourth.Read(), FrameKind::kFault, 0, kStatusServerTooBusy);
  EXPECT_TRUE(fourth.ClosedByServer());

  first.reset();  // leaves in the middle of its call
  engine.SetGate(true);
  ExpectFrame(second.Read(), FrameKind::kReply, 2);
  EXPECT_TRUE(WaitConnections(2));
  EXPECT_EQ(server->CallsInFlight(), 0u);
  EXPECT_EQ(third.GetSessionId(5), 1);
}

// Its end by a token, a limit or the client's departure is in the client and end-to-end tests.
TEST_F(ServerTest, AsyncCallIgnoresAnotherCallsCancelAndForbidsARequest) {
  Start();
  RawClient client(options.socketPath);
  client.SendFrame(FrameKind::kRequest, 3, 1, kNotifyRequest);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  client.SendFrame(FrameKind::kCancel, 0, 2);
  engine.PublishStatus({0xAB});
  ExpectFrame(client.Read(), FrameKind::kReply, 1);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyStatusDelivered);

  // A request while the call is open closes the connection, which cancels the call.
  client.SendFrame(FrameKind::kRequest, 3, 9, kNotifyRequest);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  client.SendFrame(FrameKind::kRequest, 1, 10);
  ExpectFrame(client.Read(), FrameKind::kFault, 10, kStatusProtocolError);
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);
  EXPECT_TRUE(WaitConnections(0));
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

TEST_F(ServerTest, StopLetsCallsFinishAndEndsTheAsyncCall) {
  Start();
  engine.SetGate(false);
  RawClient waiting(options.socketPath);
  waiting.SendFrame(FrameKind::kRequest, 3, 1, kNotifyRequest);
  RawClient blocked(options.socketPath);
  blocked.SendFrame(FrameKind::kRequest, 22, 2);
  ASSERT_TRUE(engine.WaitAsyncRunning());
  ASSERT_TRUE(engine.WaitAtGate(1));

  auto stopped = std::async(std::launch::async, [&] { return server->StopListening(); });
  // The async call learns of the stop from its cancel test and completes.
  ExpectFrame(waiting.Read(), FrameKind::kReply, 1);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyBadCancelStatus);
  EXPECT_TRUE(waiting.ClosedByServer());
  // The synchronous call still gets its reply.
  EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout);
  engine.SetGate(true);
  ExpectFrame(blocked.Read(), FrameKind::kReply, 2);
  EXPECT_TRUE(stopped.get());
  EXPECT_THROW({ RawClient late(options.socketPath); }, std::system_error);
}

TEST_F(ServerTest, IdleConnectionsAreClosedAndStopGivesUpOnACallThatOutlivesItsLimit) {
  options.idleTimeout = 50ms;
  options.stopTimeout = 100ms;
  Start();
  RawClient idle(options.socketPath);
  EXPECT_EQ(idle.GetSessionId(1), 1);
  EXPECT_TRUE(idle.ClosedByServer());

  engine.SetGate(false);
  RawClient blocked(options.socketPath);
  blocked.SendFrame(FrameKind::kRequest, 22, 1);
  ASSERT_TRUE(engine.WaitAtGate(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server->StopListening());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  engine.SetGate(true);
  server.reset();  // joins the late call's thread
  EXPECT_EQ(engine.Calls().size(), 2u);
}

}  // namespace
}  // namespace rpc
