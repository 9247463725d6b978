#include "service/owned_resource_manager.h"

#include <stdexcept>

#include "log/logger.h"

namespace mfab {

void OwnedResourceManager::Set(std::unique_ptr<ResourceManager> created) {
  keystone::MutexLock lock(mutex);
  if (manager != nullptr) {
    throw std::logic_error("a resource manager exists already; destroy it first");
  }
  manager = std::move(created);
  open = manager != nullptr;
}

bool OwnedResourceManager::Exists() {
  keystone::MutexLock lock(mutex);
  return open;
}

ResourceManager* OwnedResourceManager::Enter() {
  keystone::MutexLock lock(mutex);
  if (!open) return nullptr;
  ++users;
  return manager.get();
}

void OwnedResourceManager::Leave() {
  {
    keystone::MutexLock lock(mutex);
    --users;
  }
  usersLeft.notify_all();
}

void OwnedResourceManager::Destroy(std::chrono::milliseconds usersLimit) {
  ResourceManager* closing = nullptr;
  {
    keystone::MutexLock lock(mutex);
    open = false;
    closing = manager.get();
  }
  if (closing == nullptr) return;
  // Nobody new comes in; those inside that wait for the applet are let go.
  closing->Shutdown();
  std::unique_ptr<ResourceManager> last;
  {
    keystone::MutexLock lock(mutex);
    while (!usersLeft.wait_for(lock.Native(), usersLimit, [this]() REQUIRES(mutex) {
      return users == 0;
    })) {
      KS_LOG(AuthenticateLoggerService::Instance(), kLogWarning, "FLOW",
             "Waiting for %u callers to leave the resource manager", users);
    }
    last = std::move(manager);
  }
  last.reset();
}

}  // namespace mfab
