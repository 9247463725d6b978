#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "applet/kiln.h"
#include "applet/kiln_adapter.h"
#include "applet/kiln_library.h"

namespace platform {
class Clock;
class Registry;
}  // namespace platform

namespace mfab {

// The engine key's value that records the firmware version the applets were installed for.
inline constexpr char kFwVersionValue[] = "FWVersion";

// Limits of the applet's host side; tests shrink them.
struct TeeAppletOptions {
  KILNAdapter::Options adapter;
  // Session creation gives up retrying transient statuses after this long ...
  std::chrono::milliseconds retryDeadline{3'000};
  // ... or after this many attempts, sleeping this long between them.
  int maxRetryAttempts = 30;
  std::chrono::milliseconds retrySleep{100};
  // Size of the receive buffer handed to every send.
  uint32_t receiveBufferSize = 32'768;
};

// The library handle. The last owner de-initializes it through an adapter of its own; that
// never throws. The value is atomic because the in-place re-initialization replaces it while
// deleters and recovery tasks on other threads read it.
class KilnHandle {
 public:
  KilnHandle(std::shared_ptr<IKilnLibrary> library, KILNAdapter::Options adapterOptions);
  ~KilnHandle();
  KilnHandle(const KilnHandle&) = delete;
  KilnHandle& operator=(const KilnHandle&) = delete;

  std::atomic<KILN_HANDLE> value{nullptr};

 private:
  const std::shared_ptr<IKilnLibrary> kiln;
  const KILNAdapter::Options options;
};
using KilnHandleOwner = std::shared_ptr<KilnHandle>;

// One open session with the authentication applet. The last owner closes it through an adapter
// of its own; that never throws. Keeps the library handle alive while the session is open.
class KilnSession {
 public:
  KilnSession(std::shared_ptr<IKilnLibrary> library, KilnHandleOwner handleOwner,
              KILN_SESSION_HANDLE session, KILNAdapter::Options adapterOptions);
  ~KilnSession();
  KilnSession(const KilnSession&) = delete;
  KilnSession& operator=(const KilnSession&) = delete;

  KILN_SESSION_HANDLE Value() const { return value; }

 private:
  const std::shared_ptr<IKilnLibrary> kiln;
  const KilnHandleOwner handle;
  const KILN_SESSION_HANDLE value;
  const KILNAdapter::Options options;
};
using KilnSessionOwner = std::shared_ptr<const KilnSession>;

// The host side of the authentication applet: owns the library handle, installs the applets
// after a firmware change, opens sessions and sends command buffers, retrying on the library's
// known transient statuses. Every library call goes through one KILNAdapter.
//
// A re-initialization that fails leaves the object without a library handle; the next session
// opening or send initializes it again first, so the first call after the cause has gone works.
//
// Used by one thread at a time (the session owner). Construction initializes the library and may
// reinstall the applets; it throws std::runtime_error "KILN_Initialize failed",
// KilnCommunicationErrorException, KILNCallTimeoutException or KilnLibraryException. Destruction
// waits for a recovery still running after a time-out.
class TeeApplet {
 public:
  // registry and clock must outlive this object.
  TeeApplet(platform::Registry& registry, std::shared_ptr<IKilnLibrary> kiln,
            platform::Clock& clock, TeeAppletOptions options = {});
  virtual ~TeeApplet();
  TeeApplet(const TeeApplet&) = delete;
  TeeApplet& operator=(const TeeApplet&) = delete;

  // Opens a session with the authentication applet, handing it initData. Initializes a lost
  // library handle first (EnsureHandle), then retries as CallKILNWithRetries does and throws what
  // they throw.
  KilnSessionOwner OpenSession(const std::vector<uint8_t>& initData);

  // Sends request with commandId and returns the reply bytes; a failed first attempt is repeated
  // once. Initializes a lost library handle first (EnsureHandle). Throws
  // KilnInvalidSessionException (no session, or the library no longer knows it),
  // KilnCommunicationErrorException, KilnGeneralException, KILNBusyException,
  // KILNCallTimeoutException and what EnsureHandle throws.
  std::vector<uint8_t> Send(const KilnSessionOwner& sessionOwner, uint32_t commandId,
                            const std::vector<uint8_t>& request);

  // Installs an applet image; throws std::runtime_error "KILN_Install2 failed".
  void Install(const std::string& appletId, const std::string& path);

  // Reinstalls both applets when the firmware version differs from the recorded one, then records
  // the new version. Throws KilnCommunicationErrorException when the version cannot be read.
  void CheckFWUpgrade();

  // Runs call through the adapter until it succeeds, retrying the transient statuses 0x300, 0x301
  // and 0x1004, installing the applet on 0x402 and re-initializing on 0x201. Throws
  // std::runtime_error "CallKILNWithRetries failed with <code>" or "... (Retries exhausted)".
  void CallKILNWithRetries(const std::function<KILN_STATUS()>& call);

  // True when a re-initialization failed and left no library handle.
  bool HandleLost() const { return kilnHandle->value.load() == nullptr; }
  // Initializes the library handle when it is lost; logs and throws std::runtime_error
  // "KILN_Initialize failed" when that fails.
  void EnsureHandle();

  // True once a firmware change led to a reinstall.
  bool FwUpgraded() const { return fwUpgraded; }
  const std::string& AppletPath() const { return appletPath; }

  // Recovery after a timed-out call: initializes and de-initializes a handle of its own, which
  // tells the library to drop the hung work. Leaves this object's handle alone.
  void KILNRecoveryFunction();
  // Recovery after a timed-out send: force-closes the session.
  void KILNRecoveryFunctionForSendAndRecive(const KilnSessionOwner& sessionOwner);
  // De-initializes and initializes this object's handle in place. Never throws.
  void KILNInitializeRecoveryFunction();

 private:
  using SendResult = std::pair<KILN_STATUS, std::vector<uint8_t>>;
  SendResult SendOnce(const KilnSessionOwner& sessionOwner, uint32_t commandId,
                      const std::shared_ptr<const std::vector<uint8_t>>& request);
  // KILN_Initialize into this object's handle through the adapter.
  KILN_STATUS InitializeHandle();
  std::function<void()> DefaultRecovery();

  platform::Registry& registry;
  platform::Clock& clock;
  const TeeAppletOptions options;
  const std::shared_ptr<IKilnLibrary> kiln;
  std::string appletPath;
  std::string storedFwVersion;
  KilnHandleOwner kilnHandle;
  // Lent to each send's call; see SendOnce.
  std::shared_ptr<std::vector<uint8_t>> receiveBuffer;
  // Declared after everything its recovery tasks use, so it is destroyed (and waits for them)
  // first.
  KILNAdapter adapter;
  bool fwUpgraded = false;
};

}  // namespace mfab
