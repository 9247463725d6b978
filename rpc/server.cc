#include "rpc/server.h"

#include <algorithm>
#include <condition_variable>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "log/logger.h"
#include "platform/paths.h"
#include "platform/process_limits.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/operation_table.h"

namespace rpc {
namespace {

using Clock = std::chrono::steady_clock;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

constexpr unsigned kDirectoryMode = 0755;
constexpr unsigned kSocketMode = 0666;
// The listener's key in the poller; connections count from 1.
constexpr uint64_t kListenerKey = 0;
// Connections taken from the backlog per turn, so that one thread does not accept for ever.
constexpr int kAcceptsPerTurn = 64;
// Refusals under load are logged at most this often.
constexpr std::chrono::seconds kRefusalLogInterval{10};
// How long a new asynchronous call waits for the previous one of its connection to end.
constexpr std::chrono::seconds kPreviousAsyncLimit{2};
// How long a stop waits for the sends it cut off to notice.
constexpr std::chrono::milliseconds kDroppedReplyLimit{100};
// A request buffer of at most this size (the first one a connection gets) is kept between calls.
constexpr size_t kKeptInputBuffer = 4096;
// A socket and a process handle per connection.
constexpr uint64_t kDescriptorsPerConnection = 2;

const std::array<uint8_t, kFrameHeaderSize> kBusyFault =
    HeaderOnlyFrame(FrameKind::kFault, 0, 0, kStatusServerTooBusy);

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return path.substr(0, slash);
}

std::string OperationName(uint16_t procedure) {
  return std::string(procedure < kOperationCount ? kOperations[procedure].name
                                                 : std::string_view("?"));
}

Clock::rep Ticks(Clock::time_point when) { return when.time_since_epoch().count(); }
Clock::time_point FromTicks(Clock::rep ticks) { return Clock::time_point(Clock::duration(ticks)); }

}  // namespace

// What every user holds and the totals; each admission is checked against the user's share and
// the total. Thread-safe.
class Server::Ledger {
 public:
  Ledger(const ServerOptions& serverOptions, uint32_t connectionLimit)
      : options(serverOptions), maxConnections(connectionLimit) {}

  bool AdmitConnection(uint32_t uid) {
    return Charge(uid, &ServerUsage::connections, 1u, options.maxConnectionsPerUser,
                  maxConnections);
  }
  void ReleaseConnection(uint32_t uid) {
    keystone::MutexLock lock(mutex);
    RefundLocked(uid, &ServerUsage::connections, 1u);
  }
  // A call and the memory of its outputs are admitted together (one lock per call step).
  enum class Admission { kAdmitted, kNoCallSlot, kNoOutputMemory };
  Admission AdmitCall(uint32_t uid, uint64_t outputBytes) {
    const bool capped = Capped(uid);
    keystone::MutexLock lock(mutex);
    ServerUsage& user = users[uid];
    if (total.calls + 1 > options.maxCalls || (capped && user.calls + 1 > options.maxCallsPerUser)) {
      DropIfEmptyLocked(uid, user);
      return Admission::kNoCallSlot;
    }
    if (total.outputBytes + outputBytes > options.maxOutputBytes ||
        (capped && user.outputBytes + outputBytes > options.maxOutputBytesPerUser)) {
      DropIfEmptyLocked(uid, user);
      return Admission::kNoOutputMemory;
    }
    ++user.calls;
    ++total.calls;
    user.outputBytes += outputBytes;
    total.outputBytes += outputBytes;
    return Admission::kAdmitted;
  }
  // A call admitted but not run (its outputs could not be allocated).
  void AbandonCall(uint32_t uid, uint64_t outputBytes) {
    {
      keystone::MutexLock lock(mutex);
      RefundLocked(uid, &ServerUsage::calls, 1u);
      RefundLocked(uid, &ServerUsage::outputBytes, outputBytes);
    }
    callsChanged.notify_all();
  }
  // The call's slot is free and its reply on its way: counted from before the slot is freed
  // until it was sent, so a stop does not cut it off.
  void EndCall(uint32_t uid) {
    keystone::MutexLock lock(mutex);
    RefundLocked(uid, &ServerUsage::calls, 1u);
    ++replies;
  }
  // The reply went out (or was dropped): its output memory is free.
  void ReplyDone(uint32_t uid, uint64_t outputBytes) {
    {
      keystone::MutexLock lock(mutex);
      --replies;
      RefundLocked(uid, &ServerUsage::outputBytes, outputBytes);
    }
    callsChanged.notify_all();
  }
  bool ChargePending(uint32_t uid, uint64_t bytes) {
    return Charge(uid, &ServerUsage::pendingBytes, bytes, options.maxPendingBytesPerUser,
                  options.maxPendingBytes);
  }
  void RefundPending(uint32_t uid, uint64_t bytes) {
    keystone::MutexLock lock(mutex);
    RefundLocked(uid, &ServerUsage::pendingBytes, bytes);
  }
  bool AdmitStay(uint32_t uid) {
    // Most users may not stay at all: they cost no lock at the end of every call.
    if (options.maxStayingThreadsPerUser == 0 && Capped(uid)) return false;
    return Charge(uid, &ServerUsage::stayingThreads, 1u, options.maxStayingThreadsPerUser,
                  options.maxStayingThreads);
  }
  void EndStay(uint32_t uid) {
    keystone::MutexLock lock(mutex);
    RefundLocked(uid, &ServerUsage::stayingThreads, 1u);
  }

  ServerUsage Total() {
    keystone::MutexLock lock(mutex);
    return total;
  }
  ServerUsage Of(uint32_t uid) {
    keystone::MutexLock lock(mutex);
    const auto it = users.find(uid);
    return it == users.end() ? ServerUsage{} : it->second;
  }
  // Waits until no call is in flight and no reply on its way; false at the deadline.
  bool WaitQuiet(Clock::time_point deadline) {
    keystone::MutexLock lock(mutex);
    return callsChanged.wait_until(lock.Native(), deadline,
                                   [this]() REQUIRES(mutex) {
                                     return total.calls == 0 && replies == 0;
                                   });
  }

 private:
  template <typename T>
  bool Charge(uint32_t uid, T ServerUsage::*field, T amount, uint64_t userLimit,
              uint64_t totalLimit) {
    const bool capped = Capped(uid);
    keystone::MutexLock lock(mutex);
    ServerUsage& user = users[uid];
    if (total.*field + amount > totalLimit || (capped && user.*field + amount > userLimit)) {
      DropIfEmptyLocked(uid, user);
      return false;
    }
    user.*field += amount;
    total.*field += amount;
    return true;
  }

  bool Capped(uint32_t uid) const {
    return std::find(options.uncappedUids.begin(), options.uncappedUids.end(), uid) ==
           options.uncappedUids.end();
  }

  template <typename T>
  void RefundLocked(uint32_t uid, T ServerUsage::*field, T amount) REQUIRES(mutex) {
    const auto it = users.find(uid);
    if (it == users.end()) return;
    it->second.*field -= std::min(amount, it->second.*field);
    total.*field -= std::min(amount, total.*field);
    DropIfEmptyLocked(uid, it->second);
  }

  // A user who holds nothing takes no memory here.
  void DropIfEmptyLocked(uint32_t uid, const ServerUsage& user) REQUIRES(mutex) {
    if (user.connections == 0 && user.calls == 0 && user.pendingBytes == 0 &&
        user.outputBytes == 0 && user.stayingThreads == 0) {
      users.erase(uid);
    }
  }

  const ServerOptions& options;
  const uint32_t maxConnections;
  keystone::Mutex mutex;  // Guards the members below.
  std::unordered_map<uint32_t, ServerUsage> users GUARDED_BY(mutex);
  ServerUsage total GUARDED_BY(mutex);
  uint32_t replies GUARDED_BY(mutex) = 0;
  std::condition_variable callsChanged;
};

// One client connection. Its input (the assembler, what it charged) belongs to the one thread
// that took the connection's event from the poller, until that thread arms it again; replies may
// be written by that thread or by the asynchronous call's, one frame at a time.
struct Server::Connection {
  Connection(platform::UnixStream s, uint64_t connectionKey, const platform::PeerCredentials& peer)
      : key(connectionKey), stream(std::move(s)), caller(CallerIdentity{peer.pid, peer.uid, peer.gid}) {}

  const uint64_t key;
  platform::UnixStream stream;
  const CallerIdentity caller;
  platform::ProcessHandle process;  // the caller's process as it was at accept

  // Held by the thread that took the connection's event while it works on the input; nobody
  // else wants it then (the registration is one-shot), but the next owner sees its writes.
  keystone::Mutex inputMutex;
  // Both under inputMutex (the *Locked functions hold it).
  FrameAssembler assembler;
  uint64_t pendingCharged = 0;

  // Read by the sweeper; 0 for none.
  std::atomic<Clock::rep> frameDeadline{0};
  std::atomic<Clock::rep> idleDeadline{0};
  // A call runs or the asynchronous one is open: no idle limit.
  std::atomic<bool> inCall{false};

  keystone::Mutex writeMutex;  // One frame at a time on the stream.

  keystone::Mutex stateMutex;  // Guards the members below.
  bool closed GUARDED_BY(stateMutex) = false;
  // The call holds its connection while it runs; the connection only looks at the call.
  std::weak_ptr<AsyncCall> async GUARDED_BY(stateMutex);

  uint32_t Uid() const { return caller.uid; }

  // Makes the connection end: a blocked send fails, and the thread that takes its next event
  // closes it. Any thread; never throws.
  void Drop() {
    keystone::MutexLock lock(stateMutex);
    if (!closed) stream.ShutdownBoth();
  }

  void TouchIdle(std::chrono::milliseconds idleTimeout) {
    idleDeadline = Ticks(Clock::now() + idleTimeout);
  }
};

// The one open asynchronous call of a connection. The operation runs on the thread that read
// its request; another thread may mark it cancelled when the client sends a cancel or leaves.
class Server::AsyncCall final : public AsyncCallContext {
 public:
  AsyncCall(Server& owner, std::shared_ptr<Connection> conn, const FrameHeader& header,
            std::unique_ptr<PreparedCall> decoded, uint64_t charged)
      : AsyncCallContext(header.procedure, conn->caller, 0, &owner.stopping),
        server(owner),
        connection(std::move(conn)),
        callId(header.callId),
        prepared(std::move(decoded)),
        outputCharged(charged) {}

  int32_t TestCancel() const override {
    if (server.stopping.load()) return static_cast<int32_t>(kStatusNotListening);
    return cancelled.load() ? kCallCancelled : kCallNotCancelled;
  }

  void Complete(int32_t result) override {
    if (completed.exchange(true)) {
      KS_LOG(Log(), mfab::kLogError, "RPC", "%s completed twice; the second result is dropped",
             OperationName(Procedure()).c_str());
      return;
    }
    std::vector<uint8_t> frame(kFrameHeaderSize);
    try {
      prepared->EncodeReply(frame, result);
      FinishFrame(frame, FrameKind::kReply, Procedure(), callId);
    } catch (const MarshalError& e) {
      KS_LOG(Log(), mfab::kLogError, "RPC", "%s: reply not sent: %s",
             OperationName(Procedure()).c_str(), e.what());
      frame.assign(kFrameHeaderSize, 0);
      FinishFrame(frame, FrameKind::kFault, Procedure(), callId, e.Status());
    }
    End(frame);
  }

  // Ends a call the operation returned from without completing.
  void FailIfOpen() {
    if (completed.exchange(true)) return;
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s returned without completing its call",
           OperationName(Procedure()).c_str());
    const auto fault = HeaderOnlyFrame(FrameKind::kFault, Procedure(), callId, kStatusCallFailed);
    End(fault);
  }

  void MarkFinished() {
    {
      std::lock_guard<std::mutex> lock(finishMutex);
      finished = true;
    }
    finishedChanged.notify_all();
  }

  bool WaitFinished(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(finishMutex);
    return finishedChanged.wait_until(lock, deadline, [this] { return finished; });
  }

  bool Open() const { return !completed.load(); }

  Server& server;
  const std::shared_ptr<Connection> connection;
  const uint32_t callId;
  const std::unique_ptr<PreparedCall> prepared;
  const uint64_t outputCharged;
  std::atomic<bool> cancelled{false};

 private:
  void End(std::span<const uint8_t> frame) {
    // The slot is free before the client can see the reply and call again.
    server.ledger->EndCall(connection->Uid());
    connection->inCall = false;
    connection->TouchIdle(server.options.idleTimeout);
    server.SendFrame(*connection, frame);
    server.ledger->ReplyDone(connection->Uid(), outputCharged);
    // While the server stops, a connection ends with its last call.
    if (server.stopping) connection->Drop();
  }

  std::atomic<bool> completed{false};
  std::mutex finishMutex;
  std::condition_variable finishedChanged;
  bool finished = false;
};

class Server::Worker {
 public:
  std::thread thread;
  std::atomic<bool> done{false};
};

Server::Server(EngineOperations& engine, ServerOptions serverOptions)
    : operations(engine),
      options(std::move(serverOptions)),
      socketPath(options.socketPath.empty() ? DefaultEndpointPath() : options.socketPath),
      maxConnections(options.maxConnections),
      ledger(std::make_unique<Ledger>(options, maxConnections)) {}

Server::~Server() {
  StopListening();
  ReapWorkers(true);
  // No thread is left: what is still registered is closed here.
  std::vector<std::shared_ptr<Connection>> left;
  {
    keystone::MutexLock lock(connectionsMutex);
    for (auto& [key, connection] : connections) left.push_back(connection);
  }
  for (const std::shared_ptr<Connection>& connection : left) {
    keystone::MutexLock input(connection->inputMutex);
    CloseLocked(*connection);
  }
  if (endpointCreated) {
    try {
      RemoveEndpoint();
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogWarning, "RPC", "%s", e.what());
    }
  }
}

void Server::UseEndpoint() {
  if (const std::string directory = DirectoryOf(socketPath); !directory.empty()) {
    platform::CreateDirectories(directory, kDirectoryMode);
    // Whoever controls the directory could put another server in our place.
    const std::string problem =
        platform::UntrustedSocketDirectory(socketPath, {platform::CurrentUserId()});
    if (!problem.empty()) {
      throw std::system_error(EPERM, std::generic_category(),
                              "runtime directory not safe for the endpoint: " + problem);
    }
  }
  listener = platform::UnixListener::Bind(socketPath, kSocketMode);
  endpointCreated = true;
}

void Server::Listen() {
  if (listening) return;
  if (!listener.IsOpen()) throw std::system_error(EBADF, std::generic_category(), "listen");
  const uint64_t descriptors = platform::OpenFileLimit();
  const uint64_t room =
      descriptors > options.reservedDescriptors
          ? (descriptors - options.reservedDescriptors) / kDescriptorsPerConnection
          : 1;
  if (room < maxConnections) {
    maxConnections = static_cast<uint32_t>(room);
    ledger = std::make_unique<Ledger>(options, maxConnections);
    KS_LOG(Log(), mfab::kLogWarning, "RPC",
           "at most %u connections: the process may open %llu descriptors", maxConnections,
           static_cast<unsigned long long>(descriptors));
  }
  poller = std::make_unique<platform::StreamPoller>();
  listener.Listen(options.backlog);
  stopping = false;
  poller->Add(listener, kListenerKey);
  listenerOpen = true;
  poller->SetTimer(Clock::now() + SweepInterval());
  {
    keystone::MutexLock lock(workersMutex);
    for (uint32_t i = 0; i < std::max<uint32_t>(options.spareThreads, 1); ++i) StartWorkerLocked();
  }
  listening = true;
}

std::chrono::milliseconds Server::SweepInterval() const {
  const auto shortest = std::min(options.frameTimeout, options.idleTimeout) / 4;
  return std::clamp(shortest, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
}

bool Server::StopListening() {
  if (!listening) return true;
  listening = false;
  const Clock::time_point deadline = Clock::now() + options.stopTimeout;
  stopDeadline = Ticks(deadline);
  stopping = true;
  {
    // A thread in Accept finishes its turn first: the descriptor is not closed under it.
    keystone::MutexLock accepting(acceptMutex);
    listenerOpen = false;
    poller->Remove(listener);
    listener.Close();
  }

  std::vector<std::shared_ptr<Connection>> all;
  {
    keystone::MutexLock lock(connectionsMutex);
    for (auto& [key, connection] : connections) all.push_back(connection);
  }
  // Connections without a call end now; calls may finish and their replies go out until the
  // deadline, and an open asynchronous call completes from its cancel test.
  for (const std::shared_ptr<Connection>& connection : all) {
    if (!connection->inCall) connection->Drop();
  }
  const bool quiet = ledger->WaitQuiet(deadline);
  // Replies still not taken by now are not waited for: their sends fail at once.
  for (const std::shared_ptr<Connection>& connection : all) connection->Drop();
  const bool callsEnded = quiet || ledger->WaitQuiet(Clock::now() + kDroppedReplyLimit);
  poller->Stop();
  if (callsEnded) {
    // Every thread is on its way out of the poller.
    keystone::MutexLock lock(workersMutex);
    workersChanged.wait_until(lock.Native(), Clock::now() + options.stopTimeout,
                              [this]() REQUIRES(workersMutex) { return liveWorkers == 0; });
  }
  ReapWorkers(false);
  if (!callsEnded) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "RPC server stopped with %u calls still running",
           ledger->Total().calls);
    return false;
  }
  return true;
}

void Server::RemoveEndpoint() {
  endpointCreated = false;
  platform::RemoveSocketFile(socketPath);
}

uint32_t Server::CallsInFlight() { return ledger->Total().calls; }

uint32_t Server::OpenConnections() { return ledger->Total().connections; }

ServerUsage Server::Usage() {
  ServerUsage usage = ledger->Total();
  keystone::MutexLock lock(workersMutex);
  usage.threads = liveWorkers;
  return usage;
}

ServerUsage Server::UsageOf(uint32_t uid) { return ledger->Of(uid); }

void Server::LogRefusal(const char* what, uint32_t uid) {
  uint64_t unlogged = 0;
  {
    keystone::MutexLock lock(refusalLogMutex);
    const Clock::time_point now = Clock::now();
    if (refusalsSinceLog != 0 && now - lastRefusalLog < kRefusalLogInterval) {
      ++refusalsSinceLog;
      return;
    }
    unlogged = refusalsSinceLog == 0 ? 0 : refusalsSinceLog - 1;
    refusalsSinceLog = 1;
    lastRefusalLog = now;
  }
  KS_LOG(Log(), mfab::kLogWarning, "RPC", "refused %s of uid %u: limit reached (%llu more refused)",
         what, uid, static_cast<unsigned long long>(unlogged));
}

bool Server::StartWorkerLocked() {
  auto worker = std::make_unique<Worker>();
  Worker& self = *worker;
  try {
    worker->thread = std::thread([this, &self] { WorkerLoop(self); });
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "no thread for the server: %s", e.what());
    return false;
  }
  workers.push_back(std::move(worker));
  liveWorkers.fetch_add(1);
  return true;
}

bool Server::EnsureSpareThread() {
  if (waitingWorkers.load() > 0) return true;
  keystone::MutexLock lock(workersMutex);
  // The thread about to run a call leaves the poller; someone must still be waiting there.
  if (waitingWorkers > 0) return true;
  return !stopping && liveWorkers < options.maxCalls + options.spareThreads && StartWorkerLocked();
}

void Server::ReapWorkers(bool all) {
  std::vector<std::unique_ptr<Worker>> finished;
  {
    keystone::MutexLock lock(workersMutex);
    for (auto it = workers.begin(); it != workers.end();) {
      if (all || (*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::unique_ptr<Worker>& worker : finished) {
    if (worker->thread.joinable() && worker->thread.get_id() != std::this_thread::get_id()) {
      worker->thread.join();
    }
  }
}

void Server::WorkerLoop(Worker& self) {
  for (;;) {
    // The counters are read without the lock on the way to every event; only a thread that
    // may retire takes it, to decide.
    waitingWorkers.fetch_add(1);
    const bool mayRetire = liveWorkers.load() > options.spareThreads;
    platform::StreamPoller::Event event;
    try {
      event = poller->Wait(mayRetire ? Clock::now() + options.threadIdleLimit
                                     : platform::kNoDeadline);
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogError, "RPC", "waiting for connections failed: %s", e.what());
      event.kind = platform::StreamPoller::EventKind::kStopped;
    }
    if (event.kind == platform::StreamPoller::EventKind::kStopped ||
        event.kind == platform::StreamPoller::EventKind::kTimeout) {
      keystone::MutexLock lock(workersMutex);
      waitingWorkers.fetch_sub(1);
      const bool retire =
          event.kind == platform::StreamPoller::EventKind::kStopped ||
          (liveWorkers.load() > options.spareThreads && waitingWorkers.load() > 0);
      if (retire) {
        liveWorkers.fetch_sub(1);
        self.done = true;
        workersChanged.notify_all();
        return;
      }
    } else {
      waitingWorkers.fetch_sub(1);
    }
    try {
      switch (event.kind) {
        case platform::StreamPoller::EventKind::kTimer:
          Sweep();
          break;
        case platform::StreamPoller::EventKind::kReady:
          if (event.key == kListenerKey) {
            Accept();
          } else if (std::shared_ptr<Connection> connection = Find(event.key)) {
            Serve(connection);
          }
          break;
        case platform::StreamPoller::EventKind::kTimeout:
        case platform::StreamPoller::EventKind::kStopped:
          break;
      }
    } catch (const std::exception& e) {
      // Out of memory, most likely; the pool goes on with the next event.
      KS_LOG(Log(), mfab::kLogError, "RPC", "server thread: %s", e.what());
    }
  }
}

std::shared_ptr<Server::Connection> Server::Find(uint64_t key) {
  keystone::MutexLock lock(connectionsMutex);
  const auto it = connections.find(key);
  return it == connections.end() ? nullptr : it->second;
}

void Server::Accept() {
  keystone::MutexLock accepting(acceptMutex);
  for (int turn = 0; turn < kAcceptsPerTurn && listenerOpen; ++turn) {
    bool refused = false;
    std::optional<platform::UnixStream> stream;
    try {
      stream = listener.TryAccept(kBusyFault, refused);
    } catch (const std::system_error& e) {
      // The listener stays disarmed until the next sweep, so a failing accept cannot spin.
      KS_LOG(Log(), mfab::kLogError, "RPC", "accept failed: %s", e.what());
      listenerPaused = true;
      return;
    }
    if (refused) {
      LogRefusal("a connection (no descriptor left)", ~0u);
      continue;
    }
    if (!stream) break;
    AddConnection(std::move(*stream));
  }
  if (!listenerOpen) return;
  try {
    poller->Rearm(listener, kListenerKey);
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "listener not armed again: %s", e.what());
  }
}

void Server::AddConnection(platform::UnixStream stream) {
  platform::PeerCredentials peer;
  try {
    peer = stream.Credentials();
  } catch (const std::system_error& e) {
    // Who cannot be counted cannot be admitted.
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "connection without credentials: %s", e.what());
    return;
  }
  if (!ledger->AdmitConnection(peer.uid)) {
    LogRefusal("a connection", peer.uid);
    try {
      stream.SendAll(kBusyFault, Clock::now());
    } catch (const std::system_error&) {
      // The refused client is not waited for.
    }
    return;
  }
  std::shared_ptr<Connection> connection;
  {
    keystone::MutexLock lock(connectionsMutex);
    connection = std::make_shared<Connection>(std::move(stream), nextKey++, peer);
    connections.emplace(connection->key, connection);
  }
  connection->process = connection->stream.PeerProcess();
  connection->TouchIdle(options.idleTimeout);
  try {
    poller->Add(connection->stream, connection->key);
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "connection not watched: %s", e.what());
    keystone::MutexLock input(connection->inputMutex);
    CloseLocked(*connection);
  }
}

void Server::Serve(const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<AsyncCall> started;
  {
    keystone::MutexLock input(connection->inputMutex);
    ServeInputLocked(connection, started);
  }
  // The asynchronous operation runs without the input, which other threads serve meanwhile.
  if (started) RunAsync(*started);
}

void Server::ServeInputLocked(const std::shared_ptr<Connection>& connection,
                              std::shared_ptr<AsyncCall>& started) {
  Connection& c = *connection;
  const FrameAssembler::Grow grow = [this, &c](size_t bytes) {
    if (!ledger->ChargePending(c.Uid(), bytes)) return false;
    c.pendingCharged += bytes;
    return true;
  };
  try {
    for (;;) {
      FrameHeader header;
      std::span<const uint8_t> payload;
      const FrameAssembler::Status status =
          c.assembler.Next(c.stream, options.maxFramePayload, grow, header, payload);
      switch (status) {
        case FrameAssembler::Status::kFrame: {
          c.frameDeadline = 0;
          c.TouchIdle(options.idleTimeout);
          if (!HandleFrameLocked(connection, header, payload, started)) {
            CloseLocked(c);
            return;
          }
          if (started) return;
          c.assembler.Consume();
          // Nothing more buffered: the poller reports the next request, so no read is spent
          // on finding the socket empty (arming a socket that has bytes reports them at once).
          if (!c.assembler.HoldsPart()) {
            KeepSmallInputLocked(c);
            if (StayLocked(c)) continue;
            poller->Rearm(c.stream, c.key);
            return;
          }
          continue;
        }
        case FrameAssembler::Status::kNeedMore: {
          if (!c.assembler.HoldsPart()) {
            c.frameDeadline = 0;
            KeepSmallInputLocked(c);
          } else if (c.frameDeadline.load() == 0) {
            c.frameDeadline = Ticks(Clock::now() + options.frameTimeout);
          }
          poller->Rearm(c.stream, c.key);
          return;
        }
        case FrameAssembler::Status::kClosed:
          break;
        case FrameAssembler::Status::kTruncated:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "client closed inside a frame");
          break;
        case FrameAssembler::Status::kBadMagic:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "not a protocol frame");
          SendFault(c, 0, 0, kStatusProtocolError);
          break;
        case FrameAssembler::Status::kBadVersion:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "protocol version %u not supported",
                 static_cast<unsigned>(header.version));
          SendFault(c, header.callId, header.procedure, kStatusUnknownVersion);
          break;
        case FrameAssembler::Status::kTooLarge:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "frame of %u bytes refused", header.length);
          SendFault(c, header.callId, header.procedure, kStatusProtocolError);
          break;
        case FrameAssembler::Status::kRefused:
          LogRefusal("request memory", c.Uid());
          SendFault(c, 0, 0, kStatusServerTooBusy);
          break;
      }
      CloseLocked(c);
      return;
    }
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "connection ended: %s", e.what());
    CloseLocked(c);
  }
}

bool Server::HandleFrameLocked(const std::shared_ptr<Connection>& connection,
                               const FrameHeader& header, std::span<const uint8_t> payload,
                               std::shared_ptr<AsyncCall>& started) {
  Connection& c = *connection;
  switch (static_cast<FrameKind>(header.kind)) {
    case FrameKind::kRequest: {
      if (header.callId == 0) {
        // Call id 0 stands for the connection itself in faults; no call may use it.
        KS_LOG(Log(), mfab::kLogWarning, "RPC", "request with call id 0 refused");
        SendFault(c, 0, header.procedure, kStatusProtocolError);
        return false;
      }
      bool asyncOpen = false;
      {
        keystone::MutexLock lock(c.stateMutex);
        const std::shared_ptr<AsyncCall> async = c.async.lock();
        asyncOpen = async && async->Open();
      }
      if (asyncOpen) {
        KS_LOG(Log(), mfab::kLogWarning, "RPC", "request while an asynchronous call is open");
        SendFault(c, header.callId, header.procedure, kStatusProtocolError);
        return false;
      }
      if (stopping) {
        SendFault(c, header.callId, header.procedure, kStatusNotListening);
        return false;
      }
      std::unique_ptr<PreparedCall> prepared;
      try {
        prepared = PrepareCall(header.procedure, payload);
      } catch (const MarshalError& e) {
        KS_LOG(Log(), mfab::kLogWarning, "RPC", "%s: %s", OperationName(header.procedure).c_str(),
               e.what());
        return SendFault(c, header.callId, header.procedure, e.Status());
      }
      // The output buffers and the reply built from them, until the reply is sent.
      const uint64_t charged = 2 * static_cast<uint64_t>(prepared->OutputBytes());
      switch (ledger->AdmitCall(c.Uid(), charged)) {
        case Ledger::Admission::kAdmitted:
          break;
        case Ledger::Admission::kNoCallSlot:
          LogRefusal("a call", c.Uid());
          return SendFault(c, header.callId, header.procedure, kStatusServerTooBusy);
        case Ledger::Admission::kNoOutputMemory:
          LogRefusal("output memory", c.Uid());
          return SendFault(c, header.callId, header.procedure, kStatusServerTooBusy);
      }
      try {
        prepared->AllocateOutputs();
      } catch (const std::bad_alloc&) {
        ledger->AbandonCall(c.Uid(), charged);
        return SendFault(c, header.callId, header.procedure, kStatusServerTooBusy);
      }
      c.inCall = true;
      EnsureSpareThread();
      if (IsAsyncProcedure(header.procedure)) {
        return StartAsyncLocked(connection, header, std::move(prepared), charged, started);
      }
      return RunSync(c, header, std::move(prepared), charged);
    }
    case FrameKind::kCancel: {
      if (!payload.empty()) break;
      // A cancel that crossed the reply, or for another call, changes nothing.
      keystone::MutexLock lock(c.stateMutex);
      const std::shared_ptr<AsyncCall> async = c.async.lock();
      if (async && async->callId == header.callId) async->cancelled = true;
      return true;
    }
    case FrameKind::kReply:
    case FrameKind::kFault:
      break;
  }
  KS_LOG(Log(), mfab::kLogWarning, "RPC", "unexpected frame kind %u",
         static_cast<unsigned>(header.kind));
  SendFault(c, header.callId, header.procedure, kStatusProtocolError);
  return false;
}

bool Server::RunSync(Connection& c, const FrameHeader& header,
                     std::unique_ptr<PreparedCall> prepared, uint64_t charged) {
  CallContext call(header.procedure, c.caller, 0, &stopping);
  std::vector<uint8_t> reply(kFrameHeaderSize);
  uint32_t fault = 0;
  try {
    prepared->Run(operations, call, reply);
  } catch (const MarshalError& e) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "%s: %s", OperationName(header.procedure).c_str(),
           e.what());
    fault = e.Status();
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw: %s", OperationName(header.procedure).c_str(),
           e.what());
    fault = kStatusCallFailed;
  } catch (...) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw", OperationName(header.procedure).c_str());
    fault = kStatusCallFailed;
  }
  prepared.reset();
  // The slot is free before the client can see the reply and call again.
  ledger->EndCall(c.Uid());
  c.inCall = false;
  c.TouchIdle(options.idleTimeout);
  bool sent = false;
  if (fault != 0) {
    sent = SendFault(c, header.callId, header.procedure, fault);
  } else {
    FinishFrame(reply, FrameKind::kReply, header.procedure, header.callId);
    sent = SendFrame(c, reply);
  }
  std::vector<uint8_t>().swap(reply);
  ledger->ReplyDone(c.Uid(), charged);
  // While the server stops, a connection ends with its last call.
  return sent && !stopping;
}

bool Server::StartAsyncLocked(const std::shared_ptr<Connection>& connection,
                              const FrameHeader& header, std::unique_ptr<PreparedCall> prepared,
                              uint64_t charged, std::shared_ptr<AsyncCall>& started) {
  Connection& c = *connection;
  std::shared_ptr<AsyncCall> previous;
  {
    keystone::MutexLock lock(c.stateMutex);
    previous = c.async.lock();
  }
  // The previous call completed; its operation is about to return. One at a time per
  // connection, as the operation expects.
  if (previous && !previous->WaitFinished(Clock::now() + kPreviousAsyncLimit)) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "the previous asynchronous call has not ended");
  }
  started = std::make_shared<AsyncCall>(*this, connection, header, std::move(prepared), charged);
  {
    keystone::MutexLock lock(c.stateMutex);
    c.async = started;
  }
  c.assembler.Consume();
  // Frames that came with the request (a cancel) are handled before the connection goes back
  // to the poller, which only reports bytes not yet read.
  bool keep = true;
  for (;;) {
    FrameHeader next;
    std::span<const uint8_t> payload;
    const FrameAssembler::Status status =
        c.assembler.Buffered(options.maxFramePayload, next, payload);
    if (status == FrameAssembler::Status::kNeedMore) break;
    std::shared_ptr<AsyncCall> nested;
    if (status != FrameAssembler::Status::kFrame ||
        !HandleFrameLocked(connection, next, payload, nested)) {
      if (status != FrameAssembler::Status::kFrame) {
        SendFault(c, next.callId, next.procedure, kStatusProtocolError);
      }
      keep = false;
      break;
    }
    c.assembler.Consume();
  }
  if (keep) {
    try {
      poller->Rearm(c.stream, c.key);
    } catch (const std::system_error&) {
      keep = false;
    }
  }
  if (!keep) CloseLocked(c);
  return true;
}

void Server::RunAsync(AsyncCall& call) {
  try {
    call.prepared->Invoke(operations, call);
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw: %s", OperationName(call.Procedure()).c_str(),
           e.what());
  } catch (...) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw", OperationName(call.Procedure()).c_str());
  }
  call.FailIfOpen();
  call.MarkFinished();
}

bool Server::SendFrame(Connection& c, std::span<const uint8_t> frame) {
  Clock::time_point deadline = Clock::now() + options.sendTimeout;
  if (stopping) deadline = std::min(deadline, FromTicks(stopDeadline.load()));
  try {
    keystone::MutexLock lock(c.writeMutex);
    c.stream.SendAll(frame, deadline);
    return true;
  } catch (const std::system_error& e) {
    // The client went away or stopped reading; its reply is dropped, and so is the client.
    KS_LOG(Log(), mfab::kLogInfo, "RPC", "reply dropped: %s", e.what());
    c.Drop();
    return false;
  }
}

bool Server::SendFault(Connection& c, uint32_t callId, uint16_t procedure, uint32_t status) {
  const auto frame = HeaderOnlyFrame(FrameKind::kFault, procedure, callId, status);
  return SendFrame(c, frame);
}

void Server::CloseLocked(Connection& c) {
  std::shared_ptr<AsyncCall> async;
  {
    keystone::MutexLock lock(c.stateMutex);
    if (c.closed) return;
    c.closed = true;
    async = c.async.lock();
    poller->Remove(c.stream);
    c.stream.ShutdownBoth();
  }
  // An open asynchronous call learns that its client is gone, and ends.
  if (async) async->cancelled = true;
  ledger->RefundPending(c.Uid(), c.pendingCharged);
  c.pendingCharged = 0;
  ledger->ReleaseConnection(c.Uid());
  // The descriptor closes with the last reference (an asynchronous call may still hold one).
  keystone::MutexLock lock(connectionsMutex);
  connections.erase(c.key);
}

void Server::KeepSmallInputLocked(Connection& c) {
  // A small buffer stays for the connection's next request (a sweep takes it back once the
  // connection is quiet); one grown for a large frame goes back at once.
  if (c.assembler.Held() > kKeptInputBuffer) ReleaseInputLocked(c);
}

bool Server::StayLocked(Connection& c) {
  if (options.stayAfterCall.count() <= 0 || stopping) return false;
  // Only while other threads are out of the poller (in calls, or staying themselves): on a quiet
  // server the poller's wake-up is as quick, and the stay's timed wait would cost more.
  if (liveWorkers.load() <= waitingWorkers.load() + 1) return false;
  if (!ledger->AdmitStay(c.Uid())) return false;
  // The poller must keep a waiter for every other connection while this thread is away.
  if (!EnsureSpareThread()) {
    ledger->EndStay(c.Uid());
    return false;
  }
  bool readable = false;
  try {
    readable = c.stream.WaitReadable(Clock::now() + options.stayAfterCall);
  } catch (const std::system_error&) {
    readable = true;  // the read that follows finds out what is wrong with the stream
  }
  ledger->EndStay(c.Uid());
  return readable && !stopping;
}

void Server::ReleaseInputLocked(Connection& c) {
  const size_t freed = c.assembler.Release();
  const uint64_t refund = std::min<uint64_t>(freed, c.pendingCharged);
  if (refund == 0) return;
  c.pendingCharged -= refund;
  ledger->RefundPending(c.Uid(), refund);
}

void Server::Sweep() {
  const Clock::time_point now = Clock::now();
  std::vector<std::shared_ptr<Connection>> all;
  {
    keystone::MutexLock lock(connectionsMutex);
    all.reserve(connections.size());
    for (auto& [key, connection] : connections) all.push_back(connection);
  }
  for (const std::shared_ptr<Connection>& connection : all) {
    if (connection->inCall) continue;
    // A quiet connection holds no request memory; one busy with its input keeps it.
    if (connection->inputMutex.try_lock()) {
      ReleaseInputLocked(*connection);
      connection->inputMutex.unlock();
    }
    const Clock::rep frameDeadline = connection->frameDeadline.load();
    if (frameDeadline != 0) {
      if (now > FromTicks(frameDeadline)) {
        KS_LOG(Log(), mfab::kLogWarning, "RPC", "frame not completed in time");
        const auto fault = HeaderOnlyFrame(FrameKind::kFault, 0, 0, kStatusProtocolError);
        try {
          keystone::MutexLock lock(connection->writeMutex);
          connection->stream.SendAll(fault, now);
        } catch (const std::system_error&) {
          // A client that stalls its own frame is not waited for.
        }
        connection->Drop();
      }
    } else if (now > FromTicks(connection->idleDeadline.load())) {
      connection->Drop();
    }
  }
  ReapWorkers(false);
  if (stopping) return;
  try {
    // A listener left disarmed by a failed accept is armed again here.
    if (listenerPaused.exchange(false)) {
      keystone::MutexLock accepting(acceptMutex);
      if (listenerOpen) poller->Rearm(listener, kListenerKey);
    }
    poller->SetTimer(Clock::now() + SweepInterval());
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "server timer not set: %s", e.what());
  }
}

}  // namespace rpc
