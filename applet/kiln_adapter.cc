#include "applet/kiln_adapter.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <vector>

#include "applet/kiln_exceptions.h"
#include "common/mutex.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// The completion of one worker, shared by the worker, its caller, the recovery task and the
// abandoned-call list.
class PendingCall {
 public:
  void Finish(std::exception_ptr failure) {
    {
      keystone::MutexLock lock(mutex);
      error = std::move(failure);
      done = true;
    }
    finished.notify_all();
  }

  // True when the call finished within the limit.
  bool WaitFor(std::chrono::milliseconds limit) {
    keystone::MutexLock lock(mutex);
    return finished.wait_for(lock.Native(), limit, [this]() REQUIRES(mutex) { return done; });
  }

  // The recovery must not touch the library while the hung call may still be inside it, so this
  // wait has no limit by design; the adapter's owner accepts that in its destructor.
  void WaitUntilDone() {
    keystone::MutexLock lock(mutex);
    finished.wait(lock.Native(), [this]() REQUIRES(mutex) { return done; });
  }

  bool IsDone() {
    keystone::MutexLock lock(mutex);
    return done;
  }

  std::exception_ptr Error() {
    keystone::MutexLock lock(mutex);
    return error;
  }

 private:
  keystone::Mutex mutex;  // Guards the members below.
  std::condition_variable finished;
  bool done GUARDED_BY(mutex) = false;
  std::exception_ptr error GUARDED_BY(mutex);
};

// Workers of calls that timed out. Parking them here lets the caller return without joining;
// finished ones are joined when the next one is parked.
class AbandonedCalls {
 public:
  static AbandonedCalls& Instance() {
    static AbandonedCalls list;
    return list;
  }

  void Park(std::thread worker, std::shared_ptr<PendingCall> call) {
    std::vector<Entry> finished;
    {
      keystone::MutexLock lock(mutex);
      for (auto it = entries.begin(); it != entries.end();) {
        if (it->call->IsDone()) {
          finished.push_back(std::move(*it));
          it = entries.erase(it);
        } else {
          ++it;
        }
      }
      entries.push_back({std::move(worker), std::move(call)});
    }
    // A finished worker has at most its last instructions left; join outside the lock.
    for (Entry& entry : finished) entry.worker.join();
  }

  size_t Size() {
    keystone::MutexLock lock(mutex);
    return entries.size();
  }

  ~AbandonedCalls() {
    keystone::MutexLock lock(mutex);
    for (Entry& entry : entries) {
      // At process exit a call that never returned cannot be waited for; it owns its state.
      if (entry.call->IsDone()) {
        entry.worker.join();
      } else {
        entry.worker.detach();
      }
    }
  }

 private:
  struct Entry {
    std::thread worker;
    std::shared_ptr<PendingCall> call;
  };

  keystone::Mutex mutex;  // Guards the member below.
  std::vector<Entry> entries GUARDED_BY(mutex);
};

}  // namespace

KILNAdapter::KILNAdapter(Options adapterOptions) : options(adapterOptions) {}

KILNAdapter::~KILNAdapter() {
  if (!recovery.joinable()) return;
  try {
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "Wait for kiln thread to end ");
    recovery.join();
  } catch (...) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "Failed to wait to kiln thread to finish");
    if (recovery.joinable()) recovery.detach();
  }
}

size_t KILNAdapter::AbandonedCallCountForTesting() { return AbandonedCalls::Instance().Size(); }

void KILNAdapter::Run(std::function<void()> work, std::function<void()> recoveryFunction) {
  if (busy.exchange(true, std::memory_order_acq_rel)) throw KILNBusyException();

  auto call = std::make_shared<PendingCall>();
  std::thread worker;
  try {
    worker = std::thread([call, task = std::move(work)]() mutable {
      std::exception_ptr failure;
      try {
        task();
      } catch (...) {
        failure = std::current_exception();
      }
      call->Finish(std::move(failure));
    });
  } catch (...) {
    busy.store(false, std::memory_order_release);
    throw;
  }

  if (call->WaitFor(std::chrono::milliseconds(options.timeoutMs))) {
    worker.join();
    busy.store(false, std::memory_order_release);
    if (std::exception_ptr failure = call->Error()) std::rethrow_exception(failure);
    return;
  }

  // Parked first, so that nothing below can leave the worker without an owner.
  AbandonedCalls::Instance().Park(std::move(worker), call);
  KS_LOG(Log(), kLogError, "TEE-CALL",
         "KILN function has timed out. Starting recovery asynchronously");
  // The previous recovery cleared busy as its last step, so it has ended or is about to.
  if (recovery.joinable()) recovery.join();
  try {
    recovery = std::thread([this, call = std::move(call), recover = std::move(recoveryFunction)]() {
      try {
        KS_LOG(Log(), kLogInfo, "TEE-CALL", "Waiting for KILN call to finish");
        call->WaitUntilDone();
        KS_LOG(Log(), kLogInfo, "TEE-CALL", "Running recovery function");
        if (recover) recover();
      } catch (const std::exception& e) {
        KS_LOG(Log(), kLogError, "TEE-CALL", "Recovery function failed (%s)", e.what());
      } catch (...) {
        KS_LOG(Log(), kLogError, "TEE-CALL", "Recovery function failed (Unknown exception)");
      }
      busy.store(false, std::memory_order_release);
    });
  } catch (const std::system_error& e) {
    // Without a recovery task nothing would ever clear busy.
    KS_LOG(Log(), kLogError, "TEE-CALL", "Recovery function failed (%s)", e.what());
    busy.store(false, std::memory_order_release);
  }
  throw KILNCallTimeoutException();
}

}  // namespace mfab
