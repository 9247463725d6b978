#pragma once

// The RPC server: accepts local connections on the interface's endpoint and runs the calls
// they carry against an EngineOperations.
//
// Threads: a pool that waits on every connection at once (platform::StreamPoller). A thread
// that finds a connection readable reads what it has and, once a request is whole, runs the
// call itself; a connection without a call costs no thread. The pool grows while calls hold
// its threads (up to the call limit) and shrinks again when they idle. The server owns and
// joins every thread.
// While the server is busy, a thread that has just answered a call stays with its connection
// for a moment (stayAfterCall) and reads the next request there, as a thread of the
// connection's own would: a busy client's calls then cost no trip through the poller. Staying
// threads are bounded in total and per user (by default only uncapped users' connections keep
// one) and never hold the poller's last waiter.
//
// Who a caller is comes from the kernel once, at accept: the peer's credentials and a handle on
// its process. Every local user may be hostile, so everything a client can make the server hold
// is bounded, in total and per user: connections, calls in flight, the bytes of requests not yet
// whole, and the output buffers of calls with their replies not yet taken. Beyond a limit the
// client gets kStatusServerTooBusy at once. A misbehaving connection (garbage, a wrong version,
// an oversize or stalled frame, call id 0) gets a fault and is closed; nobody else notices.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/mutex.h"
#include "platform/stream_poller.h"
#include "platform/unix_socket.h"
#include "rpc/engine_operations.h"
#include "rpc/marshal.h"
#include "rpc/protocol.h"

namespace rpc {

struct ServerOptions {
  // Empty: the interface's endpoint in the runtime directory.
  std::string socketPath;
  // Users the per-user limits do not apply to (the totals still do): root, whose log-on
  // components act for every user.
  std::vector<uint32_t> uncappedUids{0};
  // Calls in flight at once, in total and per user.
  uint32_t maxCalls = 1234;
  uint32_t maxCallsPerUser = 64;
  // Open connections, in total and per user. The total is lowered at Listen when the process's
  // descriptor limit (less reservedDescriptors) cannot hold two descriptors per connection.
  uint32_t maxConnections = 2 * 1234;
  uint32_t maxConnectionsPerUser = 128;
  uint32_t reservedDescriptors = 256;
  uint32_t maxFramePayload = kMaxFramePayload;
  // Memory for requests still arriving (buffers of frames not yet whole), in total and per user.
  uint64_t maxPendingBytes = 64ull << 20;
  uint64_t maxPendingBytesPerUser = 16ull << 20;
  // Memory for the output buffers of calls in flight and their replies until sent.
  uint64_t maxOutputBytes = 128ull << 20;
  uint64_t maxOutputBytesPerUser = 32ull << 20;
  // The rest of a frame must arrive within this once its first byte did.
  std::chrono::milliseconds frameTimeout{10'000};
  // A reply must be taken by the client within this.
  std::chrono::milliseconds sendTimeout{10'000};
  // A connection without a call for this long is closed; the clock starts again when a call
  // ends (the asynchronous one included).
  std::chrono::milliseconds idleTimeout{600'000};
  // How long a stop waits for calls in flight and replies not yet taken; then every connection
  // is dropped.
  std::chrono::milliseconds stopTimeout{2'000};
  // Threads kept waiting for work beyond those in calls; a thread beyond them that waited this
  // long for work ends.
  uint32_t spareThreads = 2;
  std::chrono::milliseconds threadIdleLimit{30'000};
  // How long a thread that answered a call waits on that connection for the next request
  // before it arms the connection in the poller again (0: never), and how many threads may wait
  // so at once, in total and per user. The per-user default keeps it to the uncapped users (the
  // log-on components' busy callers): no other client can make the server hold a thread so.
  std::chrono::milliseconds stayAfterCall{2};
  uint32_t maxStayingThreads = 32;
  uint32_t maxStayingThreadsPerUser = 0;
  int backlog = 128;
};

// What the server holds at one moment, in total or for one user.
struct ServerUsage {
  uint32_t connections = 0;
  uint32_t calls = 0;
  uint64_t pendingBytes = 0;
  uint64_t outputBytes = 0;
  uint32_t stayingThreads = 0;  // threads waiting on a connection after its call
  uint32_t threads = 0;         // totals only
};

class Server {
 public:
  // operations must outlive the server.
  Server(EngineOperations& operations, ServerOptions options);
  // Stops if still listening, waits for every call still running and removes the endpoint.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Creates the runtime directory (0755) and the socket file (0666: any local process may
  // call). The directory must belong to this process's user and not be writable by others.
  // Throws std::system_error.
  void UseEndpoint();
  // Starts accepting calls. Throws std::system_error.
  void Listen();
  // Stops accepting; an open asynchronous call sees kStatusNotListening from its cancel test and
  // completes; calls in flight may finish and their clients take their replies until
  // stopTimeout, then every connection is dropped. False when calls were still running at the
  // limit; their threads are joined by the destructor.
  bool StopListening();
  // Removes the socket file. Throws std::system_error.
  void RemoveEndpoint();

  const std::string& SocketPath() const { return socketPath; }
  uint32_t CallsInFlight();
  uint32_t OpenConnections();
  ServerUsage Usage();
  ServerUsage UsageOf(uint32_t uid);
  // The connection limit in force (after Listen adjusted it to the descriptor limit).
  uint32_t ConnectionLimit() const { return maxConnections; }
  uint32_t CallLimit() const { return options.maxCalls; }

 private:
  struct Connection;
  class AsyncCall;
  class Ledger;
  class Worker;

  void WorkerLoop(Worker& self);
  void Accept();
  void AddConnection(platform::UnixStream stream);
  void Serve(const std::shared_ptr<Connection>& connection);
  // What Serve does with the connection's input held; started is set when an asynchronous call
  // was admitted, which Serve then runs without the input.
  void ServeInputLocked(const std::shared_ptr<Connection>& connection,
                        std::shared_ptr<AsyncCall>& started);
  // Each returns false when the connection is to be closed.
  bool HandleFrameLocked(const std::shared_ptr<Connection>& connection, const FrameHeader& header,
                         std::span<const uint8_t> payload, std::shared_ptr<AsyncCall>& started);
  bool RunSync(Connection& connection, const FrameHeader& header,
               std::unique_ptr<PreparedCall> prepared, uint64_t charged);
  // Takes the asynchronous call's place on the connection and arms the connection again for its
  // cancel; the caller then runs it (RunAsync) without the input.
  bool StartAsyncLocked(const std::shared_ptr<Connection>& connection, const FrameHeader& header,
                        std::unique_ptr<PreparedCall> prepared, uint64_t charged,
                        std::shared_ptr<AsyncCall>& started);
  void RunAsync(AsyncCall& call);
  // Waits on the connection for its next request after a call (see stayAfterCall); true when
  // the connection became readable, false when the thread should arm it in the poller instead.
  bool StayLocked(Connection& connection);
  bool SendFrame(Connection& connection, std::span<const uint8_t> frame);
  bool SendFault(Connection& connection, uint32_t callId, uint16_t procedure, uint32_t status);
  // Gives back the connection's input buffer when it holds no part of a frame.
  void ReleaseInputLocked(Connection& connection);
  // The same for a buffer grown beyond the first one; a small one is kept for the next request.
  void KeepSmallInputLocked(Connection& connection);
  // Closes the connection; only the thread that holds its input, or the last one left.
  void CloseLocked(Connection& connection);
  // Logs a refusal at most once per interval, with how many were not logged.
  void LogRefusal(const char* what, uint32_t uid);
  void Sweep();
  // True when a thread waits in the poller, or one was started to.
  bool EnsureSpareThread();
  bool StartWorkerLocked() REQUIRES(workersMutex);
  void ReapWorkers(bool all);
  std::shared_ptr<Connection> Find(uint64_t key);
  std::chrono::milliseconds SweepInterval() const;

  EngineOperations& operations;
  const ServerOptions options;
  const std::string socketPath;
  uint32_t maxConnections;
  std::unique_ptr<Ledger> ledger;
  keystone::Mutex acceptMutex;  // Held while the listener is used or closed.
  platform::UnixListener listener;
  std::unique_ptr<platform::StreamPoller> poller;
  bool listening = false;
  bool endpointCreated = false;
  std::atomic<bool> stopping{false};
  std::atomic<bool> listenerOpen{false};
  std::atomic<bool> listenerPaused{false};
  std::atomic<std::chrono::steady_clock::rep> stopDeadline{0};

  keystone::Mutex connectionsMutex;  // Guards the members below.
  std::unordered_map<uint64_t, std::shared_ptr<Connection>> connections
      GUARDED_BY(connectionsMutex);
  uint64_t nextKey GUARDED_BY(connectionsMutex) = 1;

  keystone::Mutex workersMutex;  // Guards the members below.
  std::vector<std::unique_ptr<Worker>> workers GUARDED_BY(workersMutex);
  // Changed under workersMutex where a thread starts or retires; read without it.
  std::atomic<uint32_t> waitingWorkers{0};
  std::atomic<uint32_t> liveWorkers{0};
  std::condition_variable workersChanged;

  keystone::Mutex refusalLogMutex;  // Guards the members below.
  std::chrono::steady_clock::time_point lastRefusalLog GUARDED_BY(refusalLogMutex);
  uint64_t refusalsSinceLog GUARDED_BY(refusalLogMutex) = 0;
};

}  // namespace rpc
