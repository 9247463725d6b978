#pragma once

// A scriptable applet behind the applet manager's channel seam. The test keeps the FakeApplet;
// the manager owns the channels its factory makes, which forward every call here. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/applet_manager.h"
#include "tests/fakes/locked.h"

namespace keystone::testing {

class FakeApplet : public std::enable_shared_from_this<FakeApplet> {
 public:
  using Handler = std::function<mfab::Bytes(uint32_t commandId, const mfab::Bytes& request)>;

  struct Sent {
    uint32_t commandId = 0;
    mfab::Bytes request;
    mfab::RequestContext context;
  };

  // What sends answer; by default the request itself comes back.
  void SetHandler(Handler replyHandler) { LockedSet(mutex, handler, std::move(replyHandler)); }
  // The next `count` channel creations throw std::runtime_error(reason).
  void FailCreations(int count, std::string reason = "KILN_Initialize failed") {
    std::lock_guard<std::mutex> lock(mutex);
    failingCreations = count;
    creationFailure = std::move(reason);
  }
  void SetFwUpgraded(bool upgraded) { LockedSet(mutex, fwUpgraded, upgraded); }
  // Channels report that they need recovery; the next `failures` recoveries throw
  // std::runtime_error(reason), the one after that mends them.
  void BreakChannels(int failures, std::string reason = "KILN_Initialize failed") {
    std::lock_guard<std::mutex> lock(mutex);
    broken = true;
    failingRecoveries = failures;
    recoveryFailure = std::move(reason);
  }

  std::vector<Sent> Sends() const { return LockedCopy(mutex, sends); }
  size_t CountCommand(uint32_t commandId) const {
    size_t count = 0;
    for (const Sent& sent : Sends()) count += sent.commandId == commandId ? 1 : 0;
    return count;
  }
  size_t Creations() const { return LockedCopy(mutex, creations); }
  size_t Opens() const { return LockedCopy(mutex, opens); }
  size_t Recoveries() const { return LockedCopy(mutex, recoveries); }
  // Waits until at least count sends were recorded.
  bool WaitForSends(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return sends.size() >= count; });
  }

  mfab::AppletChannelFactory Factory() {
    std::shared_ptr<FakeApplet> self = shared_from_this();
    return [self]() -> std::unique_ptr<mfab::IAppletChannel> { return self->Create(); };
  }

 private:
  class Channel final : public mfab::IAppletChannel {
   public:
    Channel(std::shared_ptr<FakeApplet> fakeApplet, bool upgraded)
        : applet(std::move(fakeApplet)), firmwareUpgraded(upgraded) {}
    mfab::Bytes Send(uint32_t commandId, const mfab::Bytes& request,
                     const mfab::RequestContext& context) override {
      open = true;
      return applet->Exchange(commandId, request, context);
    }
    bool HasOpenSession() const override { return open; }
    void OpenSession() override {
      open = true;
      std::lock_guard<std::mutex> lock(applet->mutex);
      ++applet->opens;
    }
    bool FwUpgraded() const override { return firmwareUpgraded; }
    bool NeedsRecovery() const override { return LockedCopy(applet->mutex, applet->broken); }
    void Recover() override { applet->Recover(); }

   private:
    std::shared_ptr<FakeApplet> applet;
    bool open = false;
    const bool firmwareUpgraded;
  };

  std::unique_ptr<mfab::IAppletChannel> Create() {
    std::lock_guard<std::mutex> lock(mutex);
    ++creations;
    if (failingCreations > 0) {
      --failingCreations;
      throw std::runtime_error(creationFailure);
    }
    return std::make_unique<Channel>(shared_from_this(), fwUpgraded);
  }

  void Recover() {
    std::lock_guard<std::mutex> lock(mutex);
    ++recoveries;
    if (failingRecoveries > 0) {
      --failingRecoveries;
      throw std::runtime_error(recoveryFailure);
    }
    broken = false;
  }

  mfab::Bytes Exchange(uint32_t commandId, const mfab::Bytes& request,
                       const mfab::RequestContext& context) {
    Handler current;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sends.push_back(Sent{commandId, request, context});
      current = handler;
    }
    changed.notify_all();
    return current ? current(commandId, request) : request;
  }

  mutable std::mutex mutex;
  std::condition_variable changed;
  Handler handler;
  int failingCreations = 0;
  std::string creationFailure;
  bool fwUpgraded = false;
  bool broken = false;
  int failingRecoveries = 0;
  std::string recoveryFailure;
  size_t recoveries = 0;
  std::vector<Sent> sends;
  size_t creations = 0;
  size_t opens = 0;
};

}  // namespace keystone::testing
