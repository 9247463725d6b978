#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>

#include "common/mutex.h"
#include "engine/resource_manager.h"

namespace mfab {

// Thrown to a caller that comes while the engine is not running (before the resource manager
// exists, or once its destruction began).
class EngineNotRunningError : public std::runtime_error {
 public:
  EngineNotRunningError() : std::runtime_error("the engine is not running") {}
};

// The resource manager the service owns, and the one way in for the threads that are not the
// service's own: RPC calls and event tasks. Use() lets them in while the manager exists; Destroy()
// closes the way in, shuts the manager down (its queue stops, so calls waiting for the applet end
// at once), waits for everyone inside to leave, and destroys it on the calling thread, so no
// other thread ever runs its destructor. Thread-safe.
class OwnedResourceManager {
 public:
  OwnedResourceManager() = default;
  ~OwnedResourceManager() { Destroy(); }
  OwnedResourceManager(const OwnedResourceManager&) = delete;
  OwnedResourceManager& operator=(const OwnedResourceManager&) = delete;

  // Takes the manager and opens the way in; std::logic_error while the previous one exists.
  void Set(std::unique_ptr<ResourceManager> created);
  bool Exists();

  // Calls work(manager) while the manager exists; throws EngineNotRunningError when it does not.
  template <typename Work>
  decltype(auto) Use(Work&& work) {
    Pass pass(*this);
    return std::forward<Work>(work)(*pass.manager);
  }

  // As Use, but returns false instead of throwing when there is no manager.
  template <typename Work>
  bool TryUse(Work&& work) {
    ResourceManager* entered = Enter();
    if (entered == nullptr) return false;
    Pass pass(*this, entered);
    std::forward<Work>(work)(*entered);
    return true;
  }

  // Closes the way in and destroys the manager once the last user left. Logs while users stay
  // longer than usersLimit (a call stuck in a component), and keeps waiting: the manager cannot
  // go while someone uses it.
  void Destroy(std::chrono::milliseconds usersLimit = std::chrono::seconds(10));

 private:
  // One user inside, from entry to exit.
  struct Pass {
    explicit Pass(OwnedResourceManager& from) : owner(from), manager(from.Enter()) {
      if (manager == nullptr) throw EngineNotRunningError();
    }
    Pass(OwnedResourceManager& from, ResourceManager* entered) : owner(from), manager(entered) {}
    ~Pass() { owner.Leave(); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    OwnedResourceManager& owner;
    ResourceManager* manager;
  };

  ResourceManager* Enter();
  void Leave();

  keystone::Mutex mutex;  // Guards the members below.
  std::unique_ptr<ResourceManager> manager GUARDED_BY(mutex);
  bool open GUARDED_BY(mutex) = false;
  uint32_t users GUARDED_BY(mutex) = 0;
  std::condition_variable usersLeft;
};

// Whether the engine is going to sleep; false while no resource manager exists. The probe keeps
// a reference: resources must outlive it.
inline std::function<bool()> GoingToSleepProbe(OwnedResourceManager& resources) {
  return [&resources] {
    bool sleeping = false;
    resources.TryUse([&sleeping](ResourceManager& manager) {
      sleeping = manager.PowerState().IsGoingToSleep();
    });
    return sleeping;
  };
}

}  // namespace mfab
