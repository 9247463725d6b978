#pragma once

// The RPC server: accepts local connections on the interface's endpoint and runs the calls
// they carry against an EngineOperations.
//
// Threads: one acceptor; one thread per connection that reads its frames and runs its
// synchronous calls itself; one more thread per asynchronous call while it is open. The server
// owns and joins all of them. A misbehaving connection (garbage, a wrong version, an oversize
// or stalled frame) is answered with a fault and closed; nobody else notices. Beyond maxCalls
// calls in flight a call is answered with kStatusServerTooBusy; beyond maxConnections a new
// connection gets that fault and is closed.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "common/mutex.h"
#include "platform/unix_socket.h"
#include "rpc/engine_operations.h"
#include "rpc/protocol.h"

namespace rpc {

struct ServerOptions {
  // Empty: the interface's endpoint in the runtime directory.
  std::string socketPath;
  uint32_t maxCalls = 1234;
  uint32_t maxConnections = 2 * 1234;
  uint32_t maxFramePayload = kMaxFramePayload;
  // The rest of a frame must arrive within this once its first byte did.
  std::chrono::milliseconds frameTimeout{10'000};
  // A reply must be taken by the client within this.
  std::chrono::milliseconds sendTimeout{10'000};
  // A connection without a call for this long is closed (not while an asynchronous call is open).
  std::chrono::milliseconds idleTimeout{600'000};
  // How long a stop waits for calls in flight; above the longest operation (the 300-second
  // secure-desktop program).
  std::chrono::milliseconds stopTimeout{330'000};
  // Pause after a failed accept (out of descriptors), so the acceptor does not spin.
  std::chrono::milliseconds acceptRetryDelay{100};
  int backlog = 128;
};

class Server {
 public:
  // operations must outlive the server.
  Server(EngineOperations& operations, ServerOptions options);
  // Stops (waiting for every call) if still listening and removes the endpoint.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates the runtime directory (0755) and the socket file (0666: any local process may
  // call). Throws std::system_error.
  void UseEndpoint();
  // Starts accepting calls. Throws std::system_error.
  void Listen();
  // Stops accepting, makes open connections end after their current call (an open
  // asynchronous call sees kStatusNotListening from its cancel test) and waits up to
  // stopTimeout for them. False when calls were still running at the limit; their threads are
  // then joined by the destructor.
  bool StopListening();
  // Removes the socket file. Throws std::system_error.
  void RemoveEndpoint();

  const std::string& SocketPath() const { return socketPath; }
  uint32_t CallsInFlight() const { return inFlight.load(); }
  uint32_t OpenConnections();

 private:
  struct Connection;
  class AsyncCall;

  void AcceptLoop();
  void StartConnection(platform::UnixStream stream);
  void Serve(Connection& connection);
  // Each returns false when the connection is to be closed.
  bool HandleFrame(Connection& connection, const FrameHeader& header,
                   std::span<const uint8_t> payload);
  bool RunSync(Connection& connection, const FrameHeader& header, std::span<const uint8_t> payload);
  bool StartAsync(Connection& connection, const FrameHeader& header,
                  std::span<const uint8_t> payload);
  void RunAsync(Connection& connection, const std::shared_ptr<AsyncCall>& call);
  void JoinAsync(Connection& connection);
  bool SendFrame(Connection& connection, std::span<const uint8_t> frame);
  bool SendFault(Connection& connection, uint32_t callId, uint16_t procedure, uint32_t status);
  bool AdmitCall();
  void ReleaseCall();
  void ReapFinished();
  void JoinAll();

  EngineOperations& operations;
  const ServerOptions options;
  const std::string socketPath;
  platform::UnixListener listener;
  std::thread acceptor;  // owned here; joined by StopListening
  bool listening = false;
  bool endpointCreated = false;
  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> inFlight{0};

  keystone::Mutex connectionsMutex;  // Guards the members below.
  std::list<std::unique_ptr<Connection>> connections GUARDED_BY(connectionsMutex);
  uint32_t activeConnections GUARDED_BY(connectionsMutex) = 0;
  std::condition_variable connectionsChanged;
};

}  // namespace rpc
