#include "engine/desktop_authentication.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "common/config_keys.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/accounts.h"
#include "platform/registry.h"
#include "platform/trusted_signers.h"
#include "platform/user_process.h"

namespace mfab {
namespace {

constexpr const char* kOperation = "RPC-FLOW";
constexpr int32_t kGeneralFailure = static_cast<int32_t>(keystone::kStatusGeneralFailure);
// The Windows errors the caller check reports: no account for a name, and a SID that does not
// parse.
constexpr int kErrorNoneMapped = 1332;
constexpr int kErrorInvalidSid = 1337;

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// Client text on one log line: control characters as \xNN.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      shown += escaped;
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

// ImagePath without the double quotes around it (and anything after the closing one).
std::string Unquoted(const std::string& imagePath) {
  if (imagePath.empty() || imagePath.front() != '"') return imagePath;
  const size_t closing = imagePath.find('"', 1);
  return imagePath.substr(1, closing == std::string::npos ? std::string::npos : closing - 1);
}

}  // namespace

DesktopAuthentication::DesktopAuthentication(platform::Registry& registryToUse,
                                             platform::Accounts& accountsToUse,
                                             platform::ConsoleSessions& sessionsToUse,
                                             platform::SignedFileVerifier& verifierToUse,
                                             platform::UserProcessLauncher& launcherToUse,
                                             Options desktopOptions)
    : registry(registryToUse),
      accounts(accountsToUse),
      sessions(sessionsToUse),
      verifier(verifierToUse),
      launcher(launcherToUse),
      options(desktopOptions) {}

int32_t DesktopAuthentication::AuthenticationOnDesktopRpc(
    const DesktopCaller& caller, const std::string& userSid, const std::string& second,
    const std::function<bool()>& stopRequested) {
  try {
    const std::optional<platform::Sid> callerSid = GetSid(caller);
    if (!callerSid) return kGeneralFailure;
    const std::optional<platform::Sid> requested = platform::ParseSid(userSid);
    if (!requested) {
      KS_LOG(Log(), kLogError, kOperation, "ConvertStringSidToSidA failed. error (%x)",
             kErrorInvalidSid);
      return kGeneralFailure;
    }
    if (*callerSid != *requested) {
      KS_LOG(Log(), kLogInfo, kOperation, "Comparing to system SID");
      if (*callerSid != GetSystemSid()) {
        KS_LOG(Log(), kLogError, kOperation,
               "RPC caller user SID doesn't match user received from Arguments");
        return kGeneralFailure;
      }
    }
    const uint32_t uid = caller.identity->uid;
    if (!TakeSlot(uid)) return kGeneralFailure;
    struct SlotRelease {
      DesktopAuthentication& owner;
      uint32_t uid;
      ~SlotRelease() { owner.ReleaseSlot(uid); }
    } release{*this, uid};
    return AuthenticationOnDesktop(userSid, second, stopRequested);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, kOperation, "AuthenticationOnDesktop failed: %s", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, kOperation, "AuthenticationOnDesktop failed: Unknown exception");
  }
  return kGeneralFailure;
}

std::optional<platform::Sid> DesktopAuthentication::GetSid(const DesktopCaller& caller) {
  // The principal is the user the kernel named at connect; root is the local system account.
  std::string principal;
  if (!caller.identity || !caller.identity->Known()) {
    KS_LOG(Log(), kLogError, kOperation,
           "Failed to retrieve client principal name. Error code: %d", caller.identityError);
  } else {
    principal = "uid " + std::to_string(caller.identity->uid);
  }
  int error = kErrorNoneMapped;
  if (!principal.empty()) {
    try {
      const std::string sid = caller.identity->Elevated()
                                  ? std::string(platform::kLocalSystemSid)
                                  : accounts.UserSid(caller.identity->uid);
      if (std::optional<platform::Sid> parsed = platform::ParseSid(sid)) return parsed;
    } catch (const std::system_error& e) {
      error = e.code().value();
    } catch (const std::exception&) {
      // No SID for the account: reported as an unmapped name.
    }
  }
  KS_LOG(Log(), kLogError, kOperation, "LookupAccountName failed for user: %s, error code: %x",
         principal.c_str(), error);
  KS_LOG(Log(), kLogError, kOperation, "GetSid failed. Error code: %d", error);
  return std::nullopt;
}

const platform::Sid& DesktopAuthentication::GetSystemSid() {
  // A constant on this platform, so there is no failure to report.
  std::call_once(systemSidOnce, [this] {
    KS_LOG(Log(), kLogInfo, kOperation, "Get system SID");
    systemSid = *platform::ParseSid(platform::kLocalSystemSid);
  });
  return systemSid;
}

bool DesktopAuthentication::TakeSlot(uint32_t uid) {
  // The console is asked only once the slots every user shares are taken, and outside the lock.
  std::optional<bool> atConsole;
  for (;;) {
    {
      keystone::MutexLock lock(slotMutex);
      if (uid != 0 && runningFor.count(uid) != 0) {
        KS_LOG(Log(), kLogError, kOperation, "A desktop program of uid %u runs already", uid);
        return false;
      }
      const size_t reserved = uid == 0 ? 0 : atConsole.value_or(false) ? 1 : 2;
      if (running + std::min(reserved, options.maxPrograms) < options.maxPrograms) {
        ++running;
        runningFor.insert(uid);
        return true;
      }
      const bool consoleSlotFree = running + 1 < options.maxPrograms;
      if (uid == 0 || atConsole.has_value() || !consoleSlotFree) {
        KS_LOG(Log(), kLogError, kOperation, "%zu desktop programs run already", running);
        return false;
      }
    }
    atConsole = IsConsoleUser(uid);
  }
}

bool DesktopAuthentication::IsConsoleUser(uint32_t uid) {
  try {
    const platform::ConsoleSessionLookup lookup = sessions.GraphicalSession();
    return lookup.session && lookup.session->uid == uid;
  } catch (const std::exception&) {
    return false;  // the program's own start reports why the console cannot be reached
  }
}

void DesktopAuthentication::ReleaseSlot(uint32_t uid) {
  keystone::MutexLock lock(slotMutex);
  --running;
  runningFor.erase(runningFor.find(uid));
}

std::optional<platform::ConsoleSession> DesktopAuthentication::GetDesktopToken() {
  platform::ConsoleSessionLookup lookup;
  try {
    lookup = sessions.GraphicalSession();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, kOperation, "The console session cannot be looked up (%s)",
           e.what());
    return std::nullopt;
  }
  if (!lookup.session) {
    KS_LOG(Log(), kLogWarning, kOperation, "No graphical session on the console: %s",
           lookup.whyNone.c_str());
    return std::nullopt;
  }
  KS_LOG(Log(), kLogInfo, kOperation, "ConsoleSessionId is %s", lookup.session->id.c_str());
  KS_LOG(Log(), kLogInfo, kOperation, "FindlogonUIPID %d",
         static_cast<int>(lookup.session->leader));
  return std::move(lookup.session);
}

std::variant<platform::VerifiedFile, int32_t> DesktopAuthentication::ChooseProgram() {
  platform::TrustedSigners signers;
  try {
    signers = platform::ReadTrustedSigners(registry);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, kOperation, "Cannot read %s (%s): no signer is trusted",
           keystone::kTrustedSignersValue, e.what());
  }
  for (const std::string& entry : signers.rejected) {
    KS_LOG(Log(), kLogWarning, kOperation, "%s entry '%s' is not a SHA-256 thumbprint",
           keystone::kTrustedSignersValue, Printable(entry).c_str());
  }

  std::optional<std::string> external;
  try {
    external = platform::ReadRegistryString(registry, keystone::kEngineKey,
                                            keystone::kExternalManagedAuthenticationValue);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, kOperation, "Cannot read %s (%s)",
           keystone::kExternalManagedAuthenticationValue, e.what());
  }
  if (external && !external->empty()) {
    try {
      return verifier.Verify(*external, signers.thumbprints);
    } catch (const platform::UntrustedFileError& e) {
      KS_LOG(Log(), kLogWarning, kOperation, "%s is not started: %s",
             keystone::kExternalManagedAuthenticationValue, e.what());
    }
  }

  std::optional<std::string> imagePath;
  try {
    imagePath = platform::ReadRegistryString(registry, keystone::kEngineKey,
                                             keystone::kImagePathValue);
    if (!imagePath) throw std::runtime_error(std::string(keystone::kImagePathValue) + " is not set");
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, kOperation, "Couldn't find DesktopKeystone.exe, message: %s",
           e.what());
    return kGeneralFailure;
  }
  const std::string image = Unquoted(*imagePath);
  const size_t slash = image.rfind('/');
  if (slash == std::string::npos) {
    KS_LOG(Log(), kLogError, kOperation, "Couldn't find authenticate dll path");
    return kGeneralFailure;
  }
  const std::string program = image.substr(0, slash + 1) + kDesktopProgramName;
  try {
    return verifier.Verify(program, signers.thumbprints);
  } catch (const platform::UntrustedFileError& e) {
    KS_LOG(Log(), kLogError, kOperation, "VerifyFileCertificate failed, file path (%s) ",
           program.c_str());
    KS_LOG(Log(), kLogError, kOperation, "%s", e.what());
    return kDesktopProgramNotSigned;
  }
}

int32_t DesktopAuthentication::AuthenticationOnDesktop(const std::string& userSid,
                                                       const std::string& second,
                                                       const std::function<bool()>& stopRequested) {
  KS_LOG(Log(), kLogInfo, kOperation, "AuthenticationOnDesktop start");
  if (second.size() > options.maxRequestLength) {
    KS_LOG(Log(), kLogError, kOperation, "The request is %zu bytes long, more than %zu",
           second.size(), options.maxRequestLength);
    return kGeneralFailure;
  }
  const std::optional<platform::ConsoleSession> session = GetDesktopToken();
  if (!session) {
    KS_LOG(Log(), kLogError, kOperation, "need isolated did not found desktop token");
    return kGeneralFailure;
  }
  std::variant<platform::VerifiedFile, int32_t> chosen = ChooseProgram();
  if (const int32_t* result = std::get_if<int32_t>(&chosen)) return *result;
  const platform::VerifiedFile& program = std::get<platform::VerifiedFile>(chosen);

  KS_LOG(Log(), kLogInfo, kOperation, "command  %s",
         (program.Path() + " " + userSid + " " + Printable(second)).c_str());
  std::unique_ptr<platform::UserProcess> process;
  try {
    process = launcher.Start(program, {session->uid, {userSid, second}, session->environment});
  } catch (const std::system_error& e) {
    KS_LOG(Log(), kLogError, kOperation, "CreateProcessAsUser error (%d)", e.code().value());
    KS_LOG(Log(), kLogError, kOperation, "%s", e.what());
    return kGeneralFailure;
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + options.programWait;
  std::optional<platform::ProcessExit> ended;
  for (auto now = Clock::now(); !ended && now < deadline; now = Clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    ended = process->Wait(std::min(options.stopCheckInterval, left));
    if (!ended && stopRequested && stopRequested()) {
      KS_LOG(Log(), kLogWarning, kOperation, "The engine stops: desktop program %u is ended",
             process->Id());
      process->Kill();
      return kGeneralFailure;
    }
  }
  if (!ended) {
    KS_LOG(Log(), kLogError, kOperation, "ExternalManagedAuthentication exe timed out");
    if (!process->Kill()) {
      KS_LOG(Log(), kLogError, kOperation, "Desktop program %u did not end when killed",
             process->Id());
    }
    return kDesktopProgramTimedOut;
  }
  if (ended->bySignal) {
    // A program ended by a signal has no exit code.
    KS_LOG(Log(), kLogError, kOperation, "ExternalManagedAuthentication GetExitCodeProcess error (%x) ",
           ended->code);
    return kGeneralFailure;
  }
  KS_LOG(Log(), kLogInfo, kOperation, "ExternalManagedAuthentication exe end exit code %x",
         ended->code);
  return ended->code;
}

}  // namespace mfab
