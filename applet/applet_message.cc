#include "applet/applet_message.h"

#include <stdexcept>

#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

}  // namespace

AppletMessage::AppletMessage(Bytes requestBytes, RequestContext context, uint32_t requestSessionId)
    : request(std::move(requestBytes)),
      requestContext(std::move(context)),
      sessionId(requestSessionId) {}

AppletMessage::~AppletMessage() = default;

Bytes AppletMessage::GetAnswer(std::chrono::milliseconds timeout) {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "waiting for answer of applet message");
  bool isAnswered = false;
  std::exception_ptr stored;
  Bytes copy;
  {
    keystone::MutexLock guard(lock);
    auto arrived = [this]() REQUIRES(lock) { return answered || failed; };
    // The predicate is re-checked after every wake-up, so a spurious one is not an answer.
    if (!arrived() && timeout.count() > 0) ready.wait_for(guard.Native(), timeout, arrived);
    if (failed && !failure) throw std::logic_error("the applet message's failure was taken");
    isAnswered = answered;
    stored = std::move(failure);
    if (answered && !failed) copy = answer;
  }
  if (stored) std::rethrow_exception(std::move(stored));
  if (!isAnswered) {
    throw std::runtime_error("waiting for applet message to complete has timed out");
  }
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "Answer of applet message retrieved succefully");
  return copy;
}

void AppletMessage::SetAnswer(Bytes answerBytes) {
  {
    keystone::MutexLock guard(lock);
    answer = std::move(answerBytes);
    answered = true;
  }
  ready.notify_all();
}

void AppletMessage::SetFailed(std::exception_ptr thrown) {
  {
    keystone::MutexLock guard(lock);
    failure = std::move(thrown);
    failed = true;
  }
  ready.notify_all();
}

}  // namespace mfab
