#include "applet/kiln_adapter.h"

#include <exception>
#include <utility>

#include "applet/kiln_exceptions.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

}  // namespace

KILNAdapter::KILNAdapter(Options adapterOptions)
    : options(adapterOptions), worker([this] { Work(); }) {}

KILNAdapter::~KILNAdapter() {
  if (busy.load(std::memory_order_acquire)) {
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "Wait for kiln thread to end ");
  }
  // The worker finishes the call in hand (and its recovery) before it sees the stop.
  {
    keystone::MutexLock lock(mutex);
    stopping = true;
  }
  wake.notify_one();
}

void KILNAdapter::Work() {
  for (;;) {
    keystone::MutexLock lock(mutex);
    wake.wait(lock.Native(), [this]() REQUIRES(mutex) { return stopping || !done; });
    if (done) return;  // stopped with nothing to do
    std::function<void()> task = std::move(job);
    std::exception_ptr failure;
    lock.Native().unlock();
    try {
      task();
    } catch (...) {
      failure = std::current_exception();
    }
    task = nullptr;
    lock.Native().lock();
    error = std::move(failure);
    done = true;
    finished.notify_one();
    if (!abandoned) continue;
    // The caller has gone; the library is free again only once the recovery ran.
    std::function<void()> recover = std::move(recovery);
    abandoned = false;
    lock.Native().unlock();
    try {
      KS_LOG(Log(), kLogInfo, "TEE-CALL", "Running recovery function");
      if (recover) recover();
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "TEE-CALL", "Recovery function failed (%s)", e.what());
    } catch (...) {
      KS_LOG(Log(), kLogError, "TEE-CALL", "Recovery function failed (Unknown exception)");
    }
    busy.store(false, std::memory_order_release);
  }
}

void KILNAdapter::Run(std::function<void()> work, std::function<void()> recoveryFunction) {
  if (busy.exchange(true, std::memory_order_acq_rel)) throw KILNBusyException();
  {
    keystone::MutexLock lock(mutex);
    job = std::move(work);
    recovery = std::move(recoveryFunction);
    error = nullptr;
    done = false;
  }
  wake.notify_one();
  keystone::MutexLock lock(mutex);
  if (finished.wait_for(lock.Native(), std::chrono::milliseconds(options.timeoutMs),
                        [this]() REQUIRES(mutex) { return done; })) {
    recovery = nullptr;
    std::exception_ptr failure = std::move(error);
    busy.store(false, std::memory_order_release);
    if (failure) std::rethrow_exception(failure);
    return;
  }
  // The worker stays with the call and recovers after it; busy stays set until then.
  abandoned = true;
  lock.Native().unlock();
  KS_LOG(Log(), kLogError, "TEE-CALL",
         "KILN function has timed out. Starting recovery asynchronously");
  KS_LOG(Log(), kLogInfo, "TEE-CALL", "Waiting for KILN call to finish");
  throw KILNCallTimeoutException();
}

}  // namespace mfab
