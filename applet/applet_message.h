#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>

#include "applet/request_context.h"
#include "common/mutex.h"
#include "common/status.h"
#include "tlv/tlv.h"

namespace mfab {

// One queued request to the applet and, once the queue thread has handled it, its answer or
// failure. Shared between the waiting caller and the queue thread; every field is read and
// written under the message's lock.
class AppletMessage {
 public:
  explicit AppletMessage(Bytes requestBytes, RequestContext context = {},
                         uint32_t requestSessionId = keystone::kNoSessionId);
  virtual ~AppletMessage();
  AppletMessage(const AppletMessage&) = delete;
  AppletMessage& operator=(const AppletMessage&) = delete;

  // Blocks until an answer or a failure is stored, at most timeout (none when timeout <= 0), and
  // returns a copy of the answer. Throws std::runtime_error "waiting for applet message to
  // complete has timed out" when nothing arrived, and a stored failure as it was thrown on the
  // queue thread (SVNUpgradeException, ConnectedStandByException, KILNCallTimeoutException, ...).
  // A failure goes to one waiter, which then holds its last reference, so the exception is
  // destroyed on the thread that caught it; a later call throws std::logic_error.
  Bytes GetAnswer(std::chrono::milliseconds timeout);

  // Store the outcome and wake the waiter; called by the queue thread.
  void SetAnswer(Bytes answerBytes);
  void SetFailed(std::exception_ptr failure);

  const Bytes& Request() const { return request; }
  const RequestContext& Context() const { return requestContext; }
  uint32_t SessionId() const { return sessionId; }

 private:
  const Bytes request;
  const RequestContext requestContext;
  const uint32_t sessionId;

  keystone::Mutex lock;  // Guards the members below.
  std::condition_variable ready;
  Bytes answer GUARDED_BY(lock);
  bool answered GUARDED_BY(lock) = false;
  bool failed GUARDED_BY(lock) = false;
  std::exception_ptr failure GUARDED_BY(lock);
};

}  // namespace mfab
