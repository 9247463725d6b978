#include "rpc/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>

#include "rpc/frame_io.h"
#include "rpc/rpc_server.h"
#include "tests/fakes/log_capture.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Eventually;

std::vector<uint8_t> FrameBytes(FrameKind kind, uint16_t procedure, uint32_t callId,
                                const std::vector<uint8_t>& payload = {},
                                uint8_t version = kProtocolVersion) {
  std::vector<uint8_t> frame(kFrameHeaderSize);
  ByteWriter(frame).Bytes(payload.data(), payload.size());
  FinishFrame(frame, kind, procedure, callId);
  frame[4] = version;
  return frame;
}

// Request frames of the calls the tests start, encoded as the client library encodes them.
std::vector<uint8_t> NotifyFrame(uint32_t callId) {
  int32_t size = 16, dataState = 0;
  uint8_t out[16];
  return EncodeRequestFrame<3>(callId, &size, out, dataState);
}
std::vector<uint8_t> ScanFrame(uint32_t callId, int32_t capacity) {
  uint8_t out = 0;
  return EncodeRequestFrame<13>(callId, int16_t{1}, &capacity, &out);
}
// SendMessageToAppletRpc echoing the largest reply a client may ask for.
std::vector<uint8_t> LargestEchoFrame(uint32_t callId) {
  std::vector<uint8_t> bytes(kMaxOutputCapacity, 7);
  int32_t size = kMaxOutputCapacity;
  return EncodeRequestFrame<5>(callId, 0, size, bytes.data(), &size, bytes.data());
}

// A client that speaks the protocol byte by byte, to misbehave at will.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : stream(platform::UnixStream::Connect(path)) {}

  void Send(const std::vector<uint8_t>& bytes) {
    stream.SendAll(bytes, platform::DeadlineAfter(2s));
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
    Send(FrameBytes(FrameKind::kRequest, 1, callId));
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

TEST_F(ServerTest, EndpointIsOpenToEveryLocalUser) {
  options.socketPath = dir.File("new/sub/IVoxWithMfa");
  Start();
  EXPECT_EQ(fs::status(options.socketPath).permissions() & fs::perms::all, fs::perms(0666));
  EXPECT_EQ(fs::status(dir.File("new/sub")).permissions() & fs::perms::all, fs::perms(0755));
  // Who calls is what the kernel says.
  EXPECT_EQ(RawClient(options.socketPath).GetSessionId(1), 1);
  const testing::FakeEngine::Call call = engine.LastCall();
  ASSERT_TRUE(call.caller.has_value());
  EXPECT_EQ(call.caller->pid, static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(call.caller->uid, static_cast<uint32_t>(::getuid()));
  EXPECT_EQ(call.caller->gid, static_cast<uint32_t>(::getgid()));
}

// A live server's socket, a file in the way and a directory others may write to (it could hold
// someone else's server tomorrow) are left as they are.
TEST_F(ServerTest, EndpointTakesOverOnlyAStaleSocket) {
  { platform::UnixListener stale = platform::UnixListener::Bind(options.socketPath, 0600); }
  Start();
  EXPECT_EQ(fs::symlink_status(options.socketPath).type(), fs::file_type::socket);
  std::ofstream(dir.File("plain")) << "x";
  fs::create_directory(dir.File("open"));
  fs::permissions(dir.File("open"), fs::perms::all);
  for (const std::string& path :
       {options.socketPath, dir.File("plain"), dir.File("open/IVoxWithMfa")}) {
    ServerOptions other = options;
    other.socketPath = path;
    EXPECT_THROW(Server(engine, other).UseEndpoint(), std::system_error) << path;
  }
  EXPECT_EQ(RawClient(options.socketPath).GetSessionId(1), 1);
  EXPECT_TRUE(fs::is_regular_file(dir.File("plain")));
  EXPECT_FALSE(fs::exists(dir.File("open/IVoxWithMfa")));
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
      // Call id 0 names the connection itself in faults.
      {"call id 0", FrameBytes(FrameKind::kRequest, 1, 0), kStatusProtocolError, 0},
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
  EXPECT_TRUE(Eventually([&] { return server->OpenConnections() == 1; }));
  EXPECT_EQ(good.GetSessionId(2), 2);
  EXPECT_EQ(engine.Calls().size(), 2u);
}

// A request that does not decode is refused with a fault and nothing reaches the engine; the
// connection goes on.
TEST_F(ServerTest, RefusedCallsKeepTheirConnection) {
  options.maxFramePayload = 1024;
  Start();
  RawClient client(options.socketPath);
  client.Send(FrameBytes(FrameKind::kRequest, 24, 1));
  ExpectFrame(client.Read(), FrameKind::kFault, 1, kStatusProcedureOutOfRange);
  // GetDiscoveryInfoRpc has a parameter of every kind: a request of any other length is refused.
  const uint8_t data[] = {5, 6};
  int32_t size = 64;
  uint8_t out[64];
  std::vector<uint8_t> request;
  ProxyCall<17>({int16_t{1}, 2, data, "first", "second", &size, out}).EncodeRequest(request);
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> bad = {
      {1, std::vector<uint8_t>(1024, 0)},          // exactly the frame limit is a frame
      {18, {0, 0, 0, 0, 2}},                       // presence flag 2
      {18, {0xFF, 0xFF, 0xFF, 0xFF, 1}},           // negative length of a present array
      {15, {0xFF, 0, 0, 0, 'a'}},                  // string longer than the request
      {15, {2, 0, 0, 0, 'a', 0, 0, 0, 0, 0}},      // string holding a NUL
      {13, {0, 0, 1, 1, 0, 0x20, 0, 1}},           // capacity above the limit
      {13, {0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 1}},  // negative capacity
  };
  for (size_t length = 0; length <= request.size() + 1; ++length) {
    if (length == request.size()) continue;
    bad.emplace_back(17, request);
    bad.back().second.resize(length);  // cut, or one byte more
  }
  uint32_t callId = 1;
  for (const auto& [procedure, payload] : bad) {
    client.Send(FrameBytes(FrameKind::kRequest, procedure, ++callId, payload));
    ExpectFrame(client.Read(), FrameKind::kFault, callId, kStatusBadStubData);
  }
  client.Send(FrameBytes(FrameKind::kCancel, 0, 99));  // no call open: ignored
  EXPECT_TRUE(engine.Calls().empty());

  client.Send(FrameBytes(FrameKind::kRequest, 17, ++callId, request));
  ExpectFrame(client.Read(), FrameKind::kReply, callId);
  EXPECT_EQ(engine.LastCall().args,
            "kind=1 dataSize=2 data=0506 first=first second=second outSize=64 outBuffer=buf");
  // The capacity at the limit is accepted.
  client.Send(FrameBytes(FrameKind::kRequest, 13, ++callId, {0, 0, 1, 0, 0, 0x20, 0, 1}));
  ExpectFrame(client.Read(), FrameKind::kReply, callId);
  EXPECT_EQ(engine.LastCall().args, "scanType=0 outSize=2097152 outBuffer=buf");
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

// Beyond a limit, in total or for one user, a call or a connection is refused at once; what a
// client gives back, by a refusal or by leaving mid-call, is free again.
TEST_F(ServerTest, BeyondALimitTheServerIsTooBusy) {
  for (const bool perUser : {false, true}) {
    SCOPED_TRACE(perUser ? "per user" : "in total");
    options = testing::TestServerOptions(options.socketPath);
    if (perUser) {
      options.uncappedUids.clear();  // the test runs as one user, maybe root
      options.maxConnectionsPerUser = 3;
      options.maxCallsPerUser = 2;
    } else {
      options.maxConnections = 3;
      options.maxCalls = 2;
    }
    Start();
    engine.SetGate(false);
    auto first = std::make_unique<RawClient>(options.socketPath);
    RawClient second(options.socketPath);
    auto third = std::make_unique<RawClient>(options.socketPath);
    RawClient refused(options.socketPath);
    ExpectFrame(refused.Read(), FrameKind::kFault, 0, kStatusServerTooBusy);
    EXPECT_TRUE(refused.ClosedByServer());

    first->Send(FrameBytes(FrameKind::kRequest, 22, 1));
    second.Send(FrameBytes(FrameKind::kRequest, 22, 2));
    ASSERT_TRUE(engine.WaitAtGate(2));
    third->Send(FrameBytes(FrameKind::kRequest, 1, 3));
    ExpectFrame(third->Read(), FrameKind::kFault, 3, kStatusServerTooBusy);
    third->Send(NotifyFrame(4));
    ExpectFrame(third->Read(), FrameKind::kFault, 4, kStatusServerTooBusy);
    EXPECT_EQ(server->UsageOf(::getuid()).calls, 2u);

    third.reset();
    ASSERT_TRUE(Eventually([&] { return server->UsageOf(::getuid()).connections == 2; }));
    RawClient again(options.socketPath);
    first.reset();
    engine.SetGate(true);
    ExpectFrame(second.Read(), FrameKind::kReply, 2);
    EXPECT_TRUE(Eventually([&] { return server->CallsInFlight() == 0; }));
    EXPECT_NO_THROW(again.GetSessionId(5));
  }
}

// An open asynchronous call is not idle, and only its own cancel may come on its connection. Its
// end by a token, a limit or the client's departure is in the client and end-to-end tests.
TEST_F(ServerTest, AnAsyncCallHoldsItsConnection) {
  options.idleTimeout = 100ms;
  Start();
  RawClient client(options.socketPath);
  client.Send(NotifyFrame(1));
  ASSERT_TRUE(engine.WaitAsyncRunning());
  RawClient idle(options.socketPath);
  EXPECT_EQ(idle.GetSessionId(1), 1);
  EXPECT_TRUE(idle.ClosedByServer());  // the idle limit has passed for the open call too
  client.Send(FrameBytes(FrameKind::kCancel, 0, 2));  // another call's: ignored
  engine.PublishStatus({0xAB});
  ExpectFrame(client.Read(), FrameKind::kReply, 1);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyStatusDelivered);
  EXPECT_TRUE(client.ClosedByServer());  // idle once the call ended

  // A request while the call is open closes the connection, which cancels the call.
  RawClient rude(options.socketPath);
  rude.Send(NotifyFrame(1));
  ASSERT_TRUE(engine.WaitAsyncRunning());
  rude.Send(FrameBytes(FrameKind::kRequest, 1, 2));
  ExpectFrame(rude.Read(), FrameKind::kFault, 2, kStatusProtocolError);
  EXPECT_TRUE(rude.ClosedByServer());
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);
  EXPECT_TRUE(Eventually([&] { return server->OpenConnections() == 0; }));
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

TEST_F(ServerTest, StopLetsRunningCallsEnd) {
  Start();
  engine.SetGate(false);
  RawClient waiting(options.socketPath);
  waiting.Send(NotifyFrame(1));
  RawClient blocked(options.socketPath);
  blocked.Send(FrameBytes(FrameKind::kRequest, 22, 2));
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

// Neither a call that outlives the limit nor a client that never takes its reply holds the stop.
TEST_F(ServerTest, StopGivesUpAtItsLimit) {
  options.sendTimeout = 10s;
  options.stopTimeout = 200ms;
  options.frameTimeout = 10s;  // a 4 MiB frame may take longer than the default under load
  Start();
  RawClient stalled(options.socketPath);
  stalled.Send(LargestEchoFrame(1));
  ASSERT_TRUE(Eventually([&] { return engine.Calls().size() == 1; }));
  engine.SetGate(false);
  RawClient blocked(options.socketPath);
  blocked.Send(FrameBytes(FrameKind::kRequest, 22, 1));
  ASSERT_TRUE(engine.WaitAtGate(1));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server->StopListening());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  engine.SetGate(true);
  EXPECT_TRUE(Eventually([&] { return server->Usage().connections == 0; }));
}

// A header announcing a large frame takes no memory; the bytes that come do, up to the user's
// share, and a closed connection gives back everything at once.
TEST_F(ServerTest, RequestMemoryFollowsTheBytesThatCame) {
  options.uncappedUids.clear();
  options.maxPendingBytesPerUser = 512 * 1024;
  Start();
  std::vector<std::unique_ptr<RawClient>> announcers;
  for (int i = 0; i < 50; ++i) {
    announcers.push_back(std::make_unique<RawClient>(options.socketPath));
    std::vector<uint8_t> start = FrameBytes(FrameKind::kRequest, 5, 1, std::vector<uint8_t>(100));
    start[16] = 0xF0;  // a payload of about 4 MiB announced, 100 bytes sent
    start[17] = 0xFF;
    start[18] = 0x3F;
    announcers.back()->Send(start);
  }
  ASSERT_TRUE(Eventually([&] { return server->Usage().connections == 50; }));
  ASSERT_TRUE(Eventually([&] { return server->Usage().pendingBytes >= 50 * 120u; }));
  EXPECT_LE(server->Usage().pendingBytes, 50 * 4096u);
  EXPECT_EQ(server->Usage().calls, 0u);

  // Real bytes count, up to the user's share.
  RawClient filler(options.socketPath);
  std::vector<uint8_t> big = FrameBytes(FrameKind::kRequest, 5, 2, std::vector<uint8_t>(1 << 20));
  big.resize(kFrameHeaderSize + 600 * 1024);
  try {
    filler.Send(big);
  } catch (const std::system_error&) {
    // The server may close the connection before every byte was taken.
  }
  ExpectFrame(filler.Read(), FrameKind::kFault, 0, kStatusServerTooBusy);
  EXPECT_LE(server->Usage().pendingBytes, options.maxPendingBytesPerUser);

  announcers.clear();
  ASSERT_TRUE(Eventually([&] { return server->Usage().connections == 0; }));
  EXPECT_EQ(server->Usage().pendingBytes, 0u);
}

// Frames that arrive together, or a frame split across writes, are each answered in order.
TEST_F(ServerTest, RequestsThatArriveTogetherAreEachAnswered) {
  Start();
  RawClient client(options.socketPath);
  std::vector<uint8_t> burst;
  for (uint32_t callId = 1; callId <= 3; ++callId) {
    const std::vector<uint8_t> frame = FrameBytes(FrameKind::kRequest, 1, callId);
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  const std::vector<uint8_t> fourth = FrameBytes(FrameKind::kRequest, 1, 4);
  burst.insert(burst.end(), fourth.begin(), fourth.begin() + 5);
  client.Send(burst);
  for (uint32_t callId = 1; callId <= 3; ++callId) {
    ExpectFrame(client.Read(), FrameKind::kReply, callId);
  }
  client.Send(std::vector<uint8_t>(fourth.begin() + 5, fourth.end()));
  ExpectFrame(client.Read(), FrameKind::kReply, 4);
  EXPECT_EQ(client.GetSessionId(5), 5);
}

// While the server is busy, a thread that answered a call waits on its connection for the next
// request; the poller keeps serving everyone else meanwhile, the limits on staying threads hold,
// and neither a departing client nor a stop waits for the stay to run out.
TEST_F(ServerTest, ABusyServersThreadStaysWithItsConnectionWithinItsLimits) {
  options.stayAfterCall = 30s;
  options.uncappedUids.clear();  // the test runs as one user, maybe root
  options.maxStayingThreadsPerUser = 1;
  Start();
  RawClient first(options.socketPath);
  EXPECT_EQ(first.GetSessionId(1), 1);
  engine.SetGate(false);
  RawClient held(options.socketPath);
  held.Send(FrameBytes(FrameKind::kRequest, 22, 100));
  ASSERT_TRUE(engine.WaitAtGate(1));
  EXPECT_EQ(first.GetSessionId(2), 2);
  ASSERT_TRUE(Eventually([&] { return server->Usage().stayingThreads == 1; }));
  RawClient second(options.socketPath);
  EXPECT_EQ(second.GetSessionId(3), 3);  // served through the poller
  EXPECT_EQ(first.GetSessionId(4), 4);   // by the thread that stayed
  EXPECT_EQ(second.GetSessionId(5), 5);
  EXPECT_EQ(server->UsageOf(::getuid()).stayingThreads, 1u);

  first.stream.Close();
  EXPECT_TRUE(Eventually([&] { return server->Usage().connections == 2; }));
  EXPECT_EQ(second.GetSessionId(6), 6);
  engine.SetGate(true);
  ExpectFrame(held.Read(), FrameKind::kReply, 100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server->StopListening());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(server->Usage().stayingThreads, 0u);
}

// A connection keeps its request buffer from one call to the next while it is busy; once it is
// quiet, a sweep gives the memory back and the connection still works.
TEST_F(ServerTest, AQuietConnectionGivesBackItsRequestMemory) {
  Start();
  RawClient client(options.socketPath);
  EXPECT_EQ(client.GetSessionId(1), 1);
  EXPECT_TRUE(Eventually([&] { return server->Usage().pendingBytes == 0; }));
  EXPECT_EQ(server->Usage().connections, 1u);
  EXPECT_EQ(client.GetSessionId(2), 2);
}

// A buffer grown for a large request goes back with its call, not with the next sweep (a second
// apart here), so it does not count against the user's next requests.
TEST_F(ServerTest, ALargeRequestGivesBackItsMemoryWithItsCall) {
  options.frameTimeout = 600s;
  options.idleTimeout = 600s;
  Start();
  RawClient client(options.socketPath);
  client.Send(LargestEchoFrame(1));
  ExpectFrame(client.Read(), FrameKind::kReply, 1);
  EXPECT_TRUE(Eventually([&] { return server->Usage().pendingBytes <= 4096; }, 900ms));
}

// Output buffers are memory the client asks for: they are counted from the call's start until
// its reply is taken, and refused beyond the user's share.
TEST_F(ServerTest, OutputBuffersAreBoundedUntilTheirRepliesAreTaken) {
  options.uncappedUids.clear();
  options.maxOutputBytesPerUser = 8 << 20;  // two 2 MiB buffers with their replies
  options.idleTimeout = 60s;                // the done clients stay while a slow one is dropped
  options.frameTimeout = 10s;               // a 4 MiB frame may take longer than 200 ms under load
  Start();
  engine.SetGate(false);
  RawClient first(options.socketPath), second(options.socketPath), third(options.socketPath);
  first.Send(ScanFrame(1, 2 << 20));
  second.Send(ScanFrame(2, 2 << 20));
  ASSERT_TRUE(engine.WaitAtGate(2));
  EXPECT_EQ(server->Usage().outputBytes, 8u << 20);
  third.Send(ScanFrame(3, 2 << 20));
  ExpectFrame(third.Read(), FrameKind::kFault, 3, kStatusServerTooBusy);
  engine.SetGate(true);
  ExpectFrame(first.Read(), FrameKind::kReply, 1);
  ExpectFrame(second.Read(), FrameKind::kReply, 2);
  ASSERT_TRUE(Eventually([&] { return server->Usage().outputBytes == 0; }));

  // A reply the client never takes is dropped with its client at the send limit.
  RawClient stalled(options.socketPath);
  stalled.Send(LargestEchoFrame(4));
  ASSERT_TRUE(Eventually([&] { return server->Usage().outputBytes != 0; }));
  ASSERT_TRUE(Eventually([&] { return server->Usage().connections == 3; }));
  EXPECT_EQ(server->Usage().outputBytes, 0u);
}

// The service's listener around the server logs each failing step at level error with the
// system's code.
TEST_F(ServerTest, ListeningStepsLogTheirFailuresWithTheirCodes) {
  const auto capture = keystone::testing::LogCapture::Install();
  const auto loggedError = [&](const std::string& message) {
    for (const keystone::testing::LogCapture::Entry& entry : capture->Entries()) {
      if (entry.record.message == message) return entry.record.level == mfab::kLogError;
    }
    return false;
  };
  RpcListener listener;
  options.socketPath = dir.File("rt/IVoxWithMfa");
  EXPECT_FALSE(listener.RpcStartListening(nullptr, options));
  EXPECT_TRUE(loggedError("RpcServerRegisterIf failed (87)"));
  // A path too long for a socket.
  EXPECT_FALSE(listener.RpcStartListening(
      &engine, testing::TestServerOptions(dir.File(std::string(120, 'x')))));
  EXPECT_TRUE(loggedError("RpcServerUseProtseqEp failed (36)"));

  ASSERT_TRUE(listener.RpcStartListening(&engine, options));
  EXPECT_EQ(RawClient(options.socketPath).GetSessionId(1), 1);
  // A second start while listening fails at the endpoint step.
  EXPECT_FALSE(listener.RpcStartListening(&engine, options));
  EXPECT_TRUE(loggedError("RpcServerUseProtseqEp failed (1740)"));

  listener.RpcStopListening();
  EXPECT_FALSE(fs::exists(options.socketPath));
  listener.RpcStopListening();
  EXPECT_TRUE(loggedError("RpcMgmtStopServerListening failed (1715)"));

  // A plain file where the runtime directory should be.
  fs::remove_all(dir.File("rt"));
  std::ofstream(dir.File("rt")) << "x";
  EXPECT_FALSE(listener.RpcStartListening(&engine, options));
  EXPECT_TRUE(loggedError("RpcServerUseProtseqEp failed (20)"));
  capture->Uninstall();
}

}  // namespace
}  // namespace rpc
