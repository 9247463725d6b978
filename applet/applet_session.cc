#include "applet/applet_session.h"

#include <cinttypes>
#include <exception>
#include <stdexcept>
#include <thread>

#include "applet/kiln_exceptions.h"
#include "applet/session_init_data.h"
#include "applet/svn_upgrador.h"
#include "common/exceptions.h"
#include "log/logger.h"
#include "tlv/message_types.h"
#include "tlv/metadata.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

void Expand(uint16_t code, DataCategories& into) {
  switch (code) {
    case data_category::kGroupSystem:
      into.insert(data_category::kPolicy);
      into.insert(data_category::kCertificate);
      break;
    case data_category::kGroupUser:
      into.insert(data_category::kUserEnrollment);
      into.insert(data_category::kUserActions);
      break;
    case data_category::kGroupFactor:
      into.insert(data_category::kFactorSystem);
      break;
    default:
      into.insert(code);
      break;
  }
}

}  // namespace

AppletSession::AppletSession(const AppletSessionServices& appletServices,
                             std::shared_ptr<IKilnLibrary> library,
                             AppletSessionOptions appletOptions)
    : TeeApplet(appletServices.registry, std::move(library), appletServices.clock,
                appletOptions.tee),
      services(appletServices),
      sessionOptions(appletOptions) {}

AppletSession::~AppletSession() = default;

DataCategories AppletSession::SelectCategories(const RequestContext& context) const {
  DataCategories selected;
  if (context.noPiggyBack || context.categories.empty()) return selected;
  DataCategories expanded;
  for (uint16_t code : context.categories) Expand(code, expanded);
  for (uint16_t code : expanded) {
    if (deliveredData.count(code) == 0) selected.insert(code);
  }
  return selected;
}

Bytes AppletSession::BuildBlock(const RequestContext& context, DataCategories& loaded) {
  loaded = SelectCategories(context);
  if (loaded.empty()) return {};
  return BuildPiggyBackBlock(currentUser, loaded, services.dataController, services.policyReader);
}

void AppletSession::ResetSession() {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "Reset Session");
  sessionOwner.reset();
  deliveredData.clear();
}

void AppletSession::OpenSession() {
  ResetSession();
  sessionLost = true;
  Bytes init = SessionInitData(services.osVersion).Serialize();
  RequestContext atStart;
  atStart.categories.insert(data_category::kGroupSystem);
  DataCategories loaded;
  const Bytes block = BuildBlock(atStart, loaded);
  init.insert(init.end(), block.begin(), block.end());
  sessionOwner = TeeApplet::OpenSession(init);
  sessionLost = false;
  deliveredData.insert(loaded.begin(), loaded.end());
}

void AppletSession::Recover() {
  // Opening initializes a lost handle first.
  OpenSession();
}

Bytes AppletSession::Send(uint32_t commandId, const Bytes& request, const RequestContext& caller) {
  if (caller.user != currentUser && !caller.user.empty()) {
    // A new user's own data must be delivered again; system data stays delivered.
    currentUser = caller.user;
    deliveredData.erase(data_category::kUserEnrollment);
    deliveredData.erase(data_category::kUserActions);
  }

  DataCategories loaded;
  const Bytes block = BuildBlock(caller, loaded);
  // Most requests carry no stored data: they go out as they came, without a copy.
  Bytes withBlock;
  if (!block.empty()) {
    withBlock.reserve(request.size() + block.size());
    withBlock.insert(withBlock.end(), request.begin(), request.end());
    withBlock.insert(withBlock.end(), block.begin(), block.end());
  }
  const Bytes& outgoing = block.empty() ? request : withBlock;

  if (!sessionOwner) OpenSession();

  Bytes reply;
  try {
    reply = SendWithKILNRetries(outgoing, commandId);
  } catch (const SVNUpgradeException&) {
    throw;
  } catch (...) {
    try {
      OpenSession();
      reply = SendWithKILNRetries(outgoing, commandId);
      KS_LOG(Log(), kLogInfo, "AM-FLOW", "Second SendMessage attempt succeeded");
    } catch (const SVNUpgradeException&) {
      throw;
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "AM-FLOW", "Second SendMessage attempt failed (%s)", e.what());
      return {};
    } catch (...) {
      KS_LOG(Log(), kLogError, "AM-FLOW", "Second SendMessage attempt failed (Unknown error)");
      return {};
    }
  }
  deliveredData.insert(loaded.begin(), loaded.end());
  return reply;
}

Bytes AppletSession::SendWithKILNRetries(const Bytes& request, uint32_t commandId) {
  auto attempt = [&]() {
    Bytes reply = TeeApplet::Send(sessionOwner, commandId, request);
    ProcessAppletMessage(reply);
    return reply;
  };
  try {
    return attempt();
  } catch (const KilnInvalidSessionException&) {
    OpenSession();
    return attempt();
  } catch (const KilnCommunicationErrorException&) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "AppletManager::send get ConnectionError");
    for (int retry = 0; retry < sessionOptions.communicationRetryAttempts; ++retry) {
      try {
        return attempt();
      } catch (const KilnInvalidSessionException&) {
        OpenSession();
      } catch (const KilnCommunicationErrorException&) {
        std::this_thread::sleep_for(sessionOptions.communicationRetrySleep);
      } catch (const SVNUpgradeException&) {
        throw;
      } catch (...) {
        KS_LOG(Log(), kLogWarning, "AM-FLOW", "Send failed with CommunicationError");
      }
    }
    KS_LOG(Log(), kLogError, "AM-FLOW", "Send failed with CommunicationError");
    throw std::runtime_error("Send failed");
  } catch (const KilnGeneralException& e) {
    KS_LOG(Log(), kLogError, "AM-FLOW", "Send failed (%#X)", static_cast<uint32_t>(e.ErrorCode()));
    throw std::runtime_error("Send message failed");
  }
}

void AppletSession::ProcessAppletMessage(const Bytes& reply) {
  try {
    // Reads reply in place: nothing below uses the view once the upgrade starts.
    const MessageView message = MessageView::Parse(reply);
    ProcessAppletLogs(message);
    if (message.messageType != message_type::kErrorReply) return;
    ErrorMessage error;
    error.Deserialize(message.payload);
    if (error.errorCode != applet_error::kSvnUpgradeNeeded) return;
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "SVN UPGRADE ERROR recived from the applet");
    if (upgradeRunning) {
      // The upgrade's own exchange cannot start another one; its caller sees the reply.
      KS_LOG(Log(), kLogError, "AM-FLOW", "SVN upgrade already running");
      return;
    }
    SVNUpgrador upgrador(*this, services);
    deliveredData.clear();
    upgradeRunning = true;
    try {
      upgrador.Activate();
    } catch (...) {
      upgradeRunning = false;
      throw;
    }
  } catch (const SVNUpgradeException&) {
    throw;
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Reply from applet does not have Message entries");
  }
}

void AppletSession::ProcessAppletLogs(const MessageView& message) {
  if (!message.metadata) {
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "Reply from applet does not have metadata entry");
    return;
  }
  // The entries view the reply, which lives until this returns.
  MessageMetadataView metadata;
  metadata.Deserialize(*message.metadata);
  for (const LoggingEntryView& entry : metadata.entries) {
    // %.*s stops at a NUL as %s did on the owned texts.
    KS_LOG(Log(), entry.level, std::string(entry.component), "FW time:%" PRIu64 " %.*s%.*s",
           entry.fwTime, static_cast<int>(entry.scope.size()), entry.scope.data(),
           static_cast<int>(entry.text.size()), entry.text.data());
  }
}

}  // namespace mfab
