#pragma once

// Authentication on the console's desktop: a client asks the engine to run the desktop
// authentication program for a user on the screen the person at the machine sees (the log-in or
// lock screen, or the active user's session), and gets the program's exit code back.
//
// The program is the signed one that ExternalManagedAuthentication names, otherwise
// keystone-desktop-auth in the directory of ImagePath; it must verify before it starts. It runs
// as the console session's user with the session's display, gets the user's SID and the
// client's second string as two arguments, and is waited for at most 300000 ms, after which its
// whole process group is killed. docs/secure-desktop.md describes the whole operation.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include "common/client_identity.h"
#include "common/mutex.h"
#include "platform/console_session.h"
#include "platform/sid.h"
#include "platform/signed_file_verifier.h"

namespace platform {
class Accounts;
class Registry;
class UserProcessLauncher;
}  // namespace platform

namespace mfab {

// The program looked for in the directory of ImagePath.
inline constexpr char kDesktopProgramName[] = "keystone-desktop-auth";

// Results besides the program's exit code.
inline constexpr int32_t kDesktopProgramNotSigned = static_cast<int32_t>(0xA0000047);
inline constexpr int32_t kDesktopProgramTimedOut = static_cast<int32_t>(0xA0000054);

struct DesktopAuthenticationOptions {
  // How long the program may run.
  std::chrono::milliseconds programWait{300'000};
  // How often a running program's wait looks whether the engine stops.
  std::chrono::milliseconds stopCheckInterval{100};
  // Programs running at once, in total; a caller other than root runs one at a time. The last
  // slot is root's and the one before it the console user's, so other users together can never
  // keep the person at the console out.
  size_t maxPrograms = 8;
  // The longest second string handed to the program.
  size_t maxRequestLength = 4096;
};

// Who called, as the kernel named the caller's connection.
struct DesktopCaller {
  std::optional<keystone::ClientIdentity> identity;  // empty when it could not be read
  int identityError = 0;                             // why it could not
};

// Collaborators are borrowed and must outlive this object. Thread-safe: any number of calls may
// run at once, each blocking its thread while its program runs. Never throws.
class DesktopAuthentication {
 public:
  using Options = DesktopAuthenticationOptions;

  DesktopAuthentication(platform::Registry& registry, platform::Accounts& accounts,
                        platform::ConsoleSessions& sessions, platform::SignedFileVerifier& verifier,
                        platform::UserProcessLauncher& launcher, Options options = {});
  DesktopAuthentication(const DesktopAuthentication&) = delete;
  DesktopAuthentication& operator=(const DesktopAuthentication&) = delete;

  // The caller check (the caller is the user userSid names, or root), then the program's run.
  // Returns the program's exit code, or 0xA0000031 (refused or failed), 0xA0000047 (the program
  // does not verify), 0xA0000054 (it ran too long). stopRequested is asked while the program
  // runs; when it answers true the program is killed and the result is 0xA0000031.
  int32_t AuthenticationOnDesktopRpc(const DesktopCaller& caller, const std::string& userSid,
                                     const std::string& second,
                                     const std::function<bool()>& stopRequested);

  // The program's run alone, for a caller already checked. Same results; throws what its
  // collaborators throw beyond the failures it reports itself.
  int32_t AuthenticationOnDesktop(const std::string& userSid, const std::string& second,
                                  const std::function<bool()>& stopRequested);

 private:
  // The caller's SID: root is the local system account. nullopt (logged) when it has none.
  std::optional<platform::Sid> GetSid(const DesktopCaller& caller);
  const platform::Sid& GetSystemSid();
  // The console's graphical session, or nullopt (logged).
  std::optional<platform::ConsoleSession> GetDesktopToken();
  // The program to start, verified; or the result that ends the operation.
  std::variant<platform::VerifiedFile, int32_t> ChooseProgram();
  // Holds one of the running slots for the caller's user; false (logged) when none is free.
  bool TakeSlot(uint32_t uid);
  // Whether uid is the user of the console's graphical session; false when that cannot be told.
  bool IsConsoleUser(uint32_t uid);
  void ReleaseSlot(uint32_t uid);

  platform::Registry& registry;
  platform::Accounts& accounts;
  platform::ConsoleSessions& sessions;
  platform::SignedFileVerifier& verifier;
  platform::UserProcessLauncher& launcher;
  const Options options;

  std::once_flag systemSidOnce;
  platform::Sid systemSid;

  keystone::Mutex slotMutex;  // Guards the members below.
  size_t running GUARDED_BY(slotMutex) = 0;
  std::multiset<uint32_t> runningFor GUARDED_BY(slotMutex);
};

}  // namespace mfab
