#include "applet/applet_message.h"

#include <stdexcept>

#include "common/exceptions.h"
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
  bool isFailed = false;
  int32_t kind = kFailureGeneral;
  std::string text;
  Bytes copy;
  {
    keystone::MutexLock guard(lock);
    auto arrived = [this]() REQUIRES(lock) { return answered || failed; };
    // The predicate is re-checked after every wake-up, so a spurious one is not an answer.
    if (!arrived() && timeout.count() > 0) ready.wait_for(guard.Native(), timeout, arrived);
    isAnswered = answered;
    isFailed = failed;
    kind = failureKind;
    text = error;
    if (answered && !failed) copy = answer;
  }
  if (isFailed) {
    switch (kind) {
      case kFailureSvnUpgrade:
        throw SVNUpgradeException(text);
      case kFailureConnectedStandby:
        throw ConnectedStandByException(text);
      default:
        throw std::runtime_error(text);
    }
  }
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

void AppletMessage::SetFailed(const std::exception& failure, int32_t kind) {
  {
    keystone::MutexLock guard(lock);
    failed = true;
    failureKind = kind;
    error = failure.what();
  }
  ready.notify_all();
}

}  // namespace mfab
