// The engine's calls into a client's callback socket and libkeystone-client's serving side,
// over real sockets in a temporary runtime directory.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "common/status.h"
#include "platform/accounts.h"
#include "platform/sid.h"
#include "platform/unix_socket.h"
#include "rpc/callback_table.h"
#include "rpc/client/callback_server.h"
#include "rpc/frame_io.h"
#include "rpc/protocol.h"
#include "rpc/rpc_server.h"
#include "rpc/server_to_client.h"
#include "tests/fakes/log_capture.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using std::chrono::milliseconds;

constexpr uint32_t kEndpoint = 7;
constexpr uint32_t kValue = 42;

// Local SIDs of this test's machine: the uid is the last part.
class FakeAccounts : public platform::Accounts {
 public:
  std::string ConsoleUserSid() override { return {}; }
  std::string UserSid(uint32_t uid) override { return Sid(uid); }
  static std::string Sid(uint32_t uid) { return "S-1-5-21-1-2-3-" + std::to_string(uid); }
};

class CallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(CallbackDirectory(runtime));
    ::chmod(CallbackDirectory(runtime).c_str(), kCallbackDirectoryMode);
  }
  void TearDown() override { logs->Uninstall(); }

  mfab::Server2ClientOptions CallOptions(milliseconds limit = milliseconds(5'000)) const {
    mfab::Server2ClientOptions options;
    options.runtimeDirectory = runtime;
    options.callTimeout = limit;
    options.connectTick = milliseconds(10);
    return options;
  }
  std::string EndpointOf(uint32_t uid) const {
    return CallbackEndpointPath(runtime, uid, kEndpoint);
  }
  // The user's own endpoint directory, made private to the user.
  std::string UserDirectory(uint32_t uid) const {
    const std::string directory = std::filesystem::path(EndpointOf(uid)).parent_path();
    std::filesystem::create_directories(directory);
    ::chmod(directory.c_str(), 0700);
    return directory;
  }
  std::unique_ptr<CallbackServer> Serve(CallbackHandlers handlers, uint32_t uid = me) const {
    CallbackServerOptions options;
    options.socketPath = EndpointOf(uid);
    options.frameTimeout = milliseconds(2'000);
    return std::make_unique<CallbackServer>(kEndpoint, std::move(handlers), options);
  }
  mfab::Server2ClientInvoke Invoke(milliseconds limit = milliseconds(5'000)) const {
    return mfab::Server2ClientInvoke(kEndpoint, kValue, me, CallOptions(limit));
  }
  // A listener at the user's endpoint that the test drives by hand.
  platform::UnixListener RawListener(int backlog = 8) const {
    UserDirectory(me);
    platform::UnixListener listener = platform::UnixListener::Bind(EndpointOf(me), 0600);
    listener.Listen(backlog);
    return listener;
  }

  static inline const uint32_t me = platform::CurrentUserId();
  keystone::testing::TempDirectory dir;
  const std::string runtime = dir.Path();
  std::shared_ptr<keystone::testing::LogCapture> logs = keystone::testing::LogCapture::Install();
  FakeAccounts accounts;
};

// Keeps a connection open without answering until the other side closes it (or 5 s passed).
void HoldUntilClosed(platform::UnixStream& stream) {
  uint8_t bytes[64];
  try {
    while (stream.ReceiveSome(bytes, platform::DeadlineAfter(milliseconds(5'000))) > 0) {
    }
  } catch (const std::system_error&) {
    // The caller never gave up; its own expectation reports that.
  }
}

CallbackHandlers PinHandlers(std::string pin, std::atomic<int>* calls = nullptr) {
  CallbackHandlers handlers;
  handlers.getPin = [pin, calls](int32_t, int32_t, std::string& out) {
    if (calls) ++*calls;
    out = pin;
    return 0;
  };
  return handlers;
}

TEST_F(CallbackTest, EachCallTravelsWithItsArguments) {
  std::vector<std::string> seen;
  CallbackHandlers handlers;
  handlers.getPin = [&](int32_t attempt, int32_t value, std::string& pin) {
    seen.push_back("pin " + std::to_string(attempt) + " " + std::to_string(value));
    pin = "123456";
    return 0;
  };
  handlers.signHash = [&](int32_t value, std::span<const uint8_t> data, const std::string& sha1,
                          std::vector<uint8_t>& signature) {
    seen.push_back("sign " + keystone::ToHex(data) + " " + sha1);
    signature.assign(256, static_cast<uint8_t>(value));
    return 0;
  };
  const auto server = Serve(handlers);
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 2, pin), 0u);
  EXPECT_EQ(pin, "123456");
  mfab::Bytes signature;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), mfab::Bytes{1, 2, 3, 4}, signature, "ab12"), 0u);
  EXPECT_EQ(signature, mfab::Bytes(256, static_cast<uint8_t>(kValue)));
  EXPECT_EQ(mfab::PingRpcClient(Invoke()), 0u);
  EXPECT_EQ(seen, (std::vector<std::string>{"pin 2 42", "sign 01020304 ab12"}));
}

TEST_F(CallbackTest, ClientStatusPassesUnchanged) {
  CallbackHandlers handlers;
  handlers.getPin = [](int32_t, int32_t, std::string& pin) {
    pin = "ignored";
    return static_cast<int32_t>(keystone::kStatusAuthenticationError);
  };
  handlers.signHash = [](int32_t, std::span<const uint8_t>, const std::string&,
                         std::vector<uint8_t>&) { return 5; };
  const auto server = Serve(handlers);
  std::string pin = "before";
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), keystone::kStatusAuthenticationError);
  EXPECT_EQ(pin, "before");
  mfab::Bytes signature;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), mfab::Bytes{1}, signature, "ab"), 5u);
  EXPECT_TRUE(signature.empty());
}

TEST_F(CallbackTest, HandlerThatThrowsAnswersGeneralFailure) {
  CallbackHandlers handlers;
  handlers.getPin = [](int32_t, int32_t, std::string&) -> int32_t { throw 7; };
  handlers.signHash = [](int32_t, std::span<const uint8_t>, const std::string&,
                         std::vector<uint8_t>&) -> int32_t { throw std::runtime_error("card"); };
  const auto server = Serve(handlers);
  std::string pin;
  mfab::Bytes signature;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), keystone::kStatusGeneralFailure);
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), mfab::Bytes{1}, signature, "ab"),
            keystone::kStatusGeneralFailure);
  // The serving thread lived through both.
  EXPECT_EQ(mfab::PingRpcClient(Invoke()), 0u);
}

// The serving side refuses an answer longer than the engine's buffer instead of cutting it.
TEST_F(CallbackTest, AnswersLongerThanTheBufferAreRefused) {
  struct Case {
    size_t length;
    uint32_t pinStatus;
    uint32_t signatureStatus;
  };
  for (const Case c :
       {Case{256, 0u, 0u}, Case{257, keystone::kStatusBufferTooSmall, 0u},
        Case{1024, keystone::kStatusBufferTooSmall, 0u},
        Case{1025, keystone::kStatusBufferTooSmall, keystone::kStatusBufferTooSmall}}) {
    CallbackHandlers handlers = PinHandlers(std::string(c.length, '7'));
    handlers.signHash = [&](int32_t, std::span<const uint8_t>, const std::string&,
                            std::vector<uint8_t>& signature) {
      signature.assign(c.length, 1);
      return 0;
    };
    const auto server = Serve(handlers);
    std::string pin;
    mfab::Bytes signature;
    EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), c.pinStatus) << c.length;
    EXPECT_EQ(pin.size(), c.pinStatus == 0 ? c.length : 0) << c.length;
    EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), mfab::Bytes{9}, signature, "a"),
              c.signatureStatus)
        << c.length;
    EXPECT_EQ(signature.size(), c.signatureStatus == 0 ? c.length : 0) << c.length;
  }
}

TEST_F(CallbackTest, ClientThatDoesNotListenGives1708) {
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), mfab::kStatusCallbackFailed);
  EXPECT_TRUE(logs->Has("fail to invoke client RPC"));
}

// Another user's socket at the place of the right one is never called.
TEST_F(CallbackTest, EndpointNotOwnedByTheUserIsNeverCalled) {
  const std::string directory = std::filesystem::path(EndpointOf(me)).parent_path();
  struct Case {
    const char* name;
    uint32_t owner;  // whom the engine calls for
    unsigned mode;   // of the directory the socket is in
  };
  for (const Case c : {Case{"directory of another uid", me + 1, 0700},
                       Case{"directory others may write", me, 0777},
                       Case{"directory the group may write", me, 0770}}) {
    logs->Clear();
    std::atomic<int> calls{0};
    CallbackServerOptions options;
    options.socketPath = EndpointOf(c.owner);
    const std::string owned = UserDirectory(c.owner);
    const auto server =
        std::make_unique<CallbackServer>(kEndpoint, PinHandlers("1", &calls), options);
    ::chmod(owned.c_str(), c.mode);
    const mfab::Server2ClientInvoke invoke(kEndpoint, kValue, c.owner, CallOptions());
    std::string pin;
    EXPECT_EQ(mfab::CallRpcClientFunction(invoke, 1, pin), mfab::kStatusCallbackFailed) << c.name;
    EXPECT_EQ(calls.load(), 0) << c.name;
    EXPECT_TRUE(logs->Contains("not the user's own endpoint")) << c.name;
    ::chmod(owned.c_str(), 0700);
  }
  // A link in place of the user's directory, even to one of the user's own.
  std::filesystem::remove_all(directory);
  std::filesystem::create_directory_symlink(runtime, directory);
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), mfab::kStatusCallbackFailed);
}

// A directory others may write could hold their socket tomorrow; nothing is made in the engine's
// place when its shared directory is missing.
TEST_F(CallbackTest, ServerStartsOnlyInADirectoryItOwnsAlone) {
  ::chmod(UserDirectory(me).c_str(), 0777);
  EXPECT_THROW(Serve({}), std::runtime_error);
  std::filesystem::remove_all(CallbackDirectory(runtime));
  EXPECT_THROW(Serve({}), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(CallbackDirectory(runtime)));
}

TEST_F(CallbackTest, ClientThatNeverAnswersGives1708AtTheLimit) {
  platform::UnixListener listener = RawListener();
  std::promise<void> accepted;
  std::jthread client([&] {
    std::optional<platform::UnixStream> held =
        listener.Accept(platform::DeadlineAfter(milliseconds(5'000)));
    accepted.set_value();
    // Holds the connection without answering until the caller gave up.
    if (held) HoldUntilClosed(*held);
  });
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(milliseconds(100)), 1, pin),
            mfab::kStatusCallbackFailed);
  EXPECT_TRUE(logs->Contains("no answer within the call limit"));
  accepted.get_future().wait();
}

TEST_F(CallbackTest, ClientThatNeverAnswersGives1708WhenStopIsRequested) {
  platform::UnixListener listener = RawListener();
  std::stop_source stop;
  std::jthread client([&] {
    std::optional<platform::UnixStream> held =
        listener.Accept(platform::DeadlineAfter(milliseconds(5'000)));
    if (!held) return;
    // Stops the caller once its request is here, then holds the connection.
    std::vector<uint8_t> request(kFrameHeaderSize);
    held->ReceiveSome(request, platform::DeadlineAfter(milliseconds(5'000)));
    stop.request_stop();
    HoldUntilClosed(*held);
  });
  // The call's own limit is far away: only stop can end it in time for the test.
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(milliseconds(600'000)), 1, pin, stop.get_token()),
            mfab::kStatusCallbackFailed);
  EXPECT_TRUE(logs->Contains("stop requested"));
}

// A client whose queue is full never takes the connection; the call still ends at its limit.
TEST_F(CallbackTest, ClientThatNeverAcceptsGives1708AtTheLimit) {
  platform::UnixListener listener = RawListener(0);
  std::vector<platform::UnixStream> queued;
  for (int i = 0; i < 64; ++i) {
    try {
      queued.push_back(
          platform::UnixStream::Connect(EndpointOf(me), platform::DeadlineAfter(milliseconds(20))));
    } catch (const std::system_error& e) {
      ASSERT_EQ(e.code().value(), ETIMEDOUT);
      break;
    }
  }
  ASSERT_LT(queued.size(), 64u) << "the queue never filled";
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(milliseconds(100)), 1, pin),
            mfab::kStatusCallbackFailed);
}

// Replies that must not be taken: each ends the call with 1708, never a partial answer.
TEST_F(CallbackTest, MalformedRepliesGive1708) {
  auto frame = [](FrameKind kind, uint16_t procedure, uint32_t callId, std::vector<uint8_t> payload,
                  uint32_t status = 0) {
    std::vector<uint8_t> bytes(kFrameHeaderSize);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    FinishFrame(bytes, kind, procedure, callId, status);
    return bytes;
  };
  // result 0, size present 257, buffer present with 257 bytes: more than the 256 offered.
  std::vector<uint8_t> longPin{0, 0, 0, 0, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0};
  longPin.resize(longPin.size() + 257, '1');
  std::vector<uint8_t> badMagic = frame(FrameKind::kReply, 1, 1, {0, 0, 0, 0});
  badMagic[0] = 'X';
  std::vector<uint8_t> hugeLength = frame(FrameKind::kReply, 1, 1, {});
  hugeLength[16] = 0xFF;
  hugeLength[17] = 0xFF;
  hugeLength[18] = 0xFF;
  const std::vector<uint8_t> fullReply =
      frame(FrameKind::kReply, 1, 1, {0, 0, 0, 0, 1, 2, 0, 0, 0, 1, 2, 0, 0, 0, '4', '2'});
  const std::map<std::string, std::vector<uint8_t>> replies = {
      {"a PIN longer than the buffer", frame(FrameKind::kReply, 1, 1, longPin)},
      {"not a frame", badMagic},
      {"a length beyond the limit", hugeLength},
      {"a fault", frame(FrameKind::kFault, 1, 1, {}, kStatusBadStubData)},
      {"another call's reply",
       frame(FrameKind::kReply, 1, 9, {0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0})},
      {"another procedure's reply",
       frame(FrameKind::kReply, 2, 1, {0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0})},
      {"bytes after the outputs",
       frame(FrameKind::kReply, 1, 1, {0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 7})},
      {"a size that differs from the count",
       frame(FrameKind::kReply, 1, 1, {0, 0, 0, 0, 1, 3, 0, 0, 0, 1, 2, 0, 0, 0, '4', '2'})},
      {"death in the middle of the reply",
       std::vector<uint8_t>(fullReply.begin(), fullReply.begin() + 26)},
      {"death after the header",
       std::vector<uint8_t>(fullReply.begin(), fullReply.begin() + kFrameHeaderSize)},
  };
  // Answers the next call with the reply, then closes: whatever the reply lacks never comes.
  const auto answerOnce = [](platform::UnixListener& listener, const std::vector<uint8_t>& reply) {
    return std::jthread([&listener, &reply] {
      std::optional<platform::UnixStream> connection =
          listener.Accept(platform::DeadlineAfter(milliseconds(5'000)));
      if (!connection) return;
      std::vector<uint8_t> request(512);
      connection->ReceiveSome(request, platform::DeadlineAfter(milliseconds(5'000)));
      connection->SendAll(reply);
    });
  };
  for (const auto& [name, reply] : replies) {
    platform::UnixListener listener = RawListener();
    std::jthread client = answerOnce(listener, reply);
    std::string pin = "untouched";
    EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), mfab::kStatusCallbackFailed) << name;
    EXPECT_EQ(pin, "untouched") << name;
    client.join();
    listener.Close();
    platform::RemoveSocketFile(EndpointOf(me));
  }
  // The well-formed reply the cases were cut from is taken.
  platform::UnixListener listener = RawListener();
  std::jthread client = answerOnce(listener, fullReply);
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), 0u);
  EXPECT_EQ(pin, "42");
}

// The serving side answers requests it cannot take with the transport's faults.
TEST_F(CallbackTest, ServerAnswersBadRequestsWithFaults) {
  std::atomic<int> calls{0};
  const auto server = Serve(PinHandlers("1", &calls));
  auto exchange = [&](uint16_t procedure, std::vector<uint8_t> payload) {
    std::vector<uint8_t> request(kFrameHeaderSize);
    request.insert(request.end(), payload.begin(), payload.end());
    FinishFrame(request, FrameKind::kRequest, procedure, 3);
    platform::UnixStream stream = platform::UnixStream::Connect(server->SocketPath());
    stream.SendAll(request);
    FrameReader reader;
    FrameHeader header;
    std::span<const uint8_t> reply;
    EXPECT_EQ(reader.Next(stream, platform::DeadlineAfter(milliseconds(5'000)), milliseconds(5'000),
                          kMaxCallbackPayload, header, reply),
              FrameReader::Status::kFrame);
    return header;
  };
  FrameHeader header = exchange(3, {});
  EXPECT_EQ(header.kind, static_cast<uint8_t>(FrameKind::kFault));
  EXPECT_EQ(header.status, kStatusProcedureOutOfRange);
  // GetPin with its buffer's presence byte missing.
  header = exchange(kCallbackGetPin, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 1, 0, 0});
  EXPECT_EQ(header.status, kStatusBadStubData);
  // A buffer larger than any callback frame.
  header = exchange(kCallbackGetPin, {1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 2, 0, 1});
  EXPECT_EQ(header.status, kStatusBadStubData);
  EXPECT_EQ(calls.load(), 0);
  // Still serving afterwards.
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), 0u);
}

// Calls after that find the user's directory without a socket.
TEST_F(CallbackTest, ServerRemovesItsSocketWhenDestroyed) {
  auto server = Serve({});
  const std::string path = server->SocketPath();
  ASSERT_TRUE(std::filesystem::exists(path));
  server.reset();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(mfab::PingRpcClient(Invoke()), mfab::kStatusCallbackFailed);
}

// The factor's entry point finds the user by SID and fails softly when it names nobody here.
TEST_F(CallbackTest, ClientCallbacksResolveTheUserBySid) {
  const auto server = Serve(PinHandlers("2468"));
  ClientCallbacks callbacks(accounts, CallOptions());
  std::string pin;
  SmartCardFactor::CallbackTarget target{kEndpoint, kValue, FakeAccounts::Sid(me)};
  EXPECT_EQ(callbacks.GetPin(target, 1, pin, {}), 0u);
  EXPECT_EQ(pin, "2468");

  for (const std::string& sid :
       {"S-1-5-21-9-9-9-" + std::to_string(me), std::string("S-1-1-0"), std::string("not a sid")}) {
    logs->Clear();
    target.userSid = sid;
    EXPECT_EQ(callbacks.GetPin(target, 1, pin, {}), mfab::kStatusCallbackFailed) << sid;
    EXPECT_TRUE(logs->Has("RpcStringBindingCompose failed (87)")) << sid;
  }
  EXPECT_EQ(mfab::Server2ClientInvoke(kEndpoint, 0, std::string(platform::kLocalSystemSid),
                                      accounts, CallOptions())
                .Owner(),
            0u);
}

TEST_F(CallbackTest, StopRequestedBeforeTheCallGives1708) {
  std::atomic<int> calls{0};
  const auto server = Serve(PinHandlers("1", &calls));
  std::stop_source stop;
  stop.request_stop();
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin, stop.get_token()),
            mfab::kStatusCallbackFailed);
  EXPECT_EQ(calls.load(), 0);
}

// The engine makes the shared callback directory beside its socket: anyone may add their own
// directory, nobody may list, remove or rename another's.
TEST_F(CallbackTest, EngineCreatesTheSharedCallbackDirectory) {
  std::filesystem::remove_all(CallbackDirectory(runtime));
  testing::FakeEngine engine;
  RpcListener listener;
  ASSERT_TRUE(
      listener.RpcStartListening(&engine, testing::TestServerOptions(runtime + "/IVoxWithMfa")));
  struct stat st {};
  ASSERT_EQ(::lstat(CallbackDirectory(runtime).c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, kCallbackDirectoryMode);
  listener.RpcStopListening();
}

}  // namespace
}  // namespace rpc
