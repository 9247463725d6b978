#pragma once

#include <atomic>

namespace mfab {

// The engine-wide flag that refuses client requests while a security-version upgrade rewrites
// the stored data. The resource manager owns it; the upgrade only raises and lowers it.
class IApiBusyFlag {
 public:
  virtual ~IApiBusyFlag() = default;
  virtual void Set() = 0;
  virtual void Clear() = 0;
};

// The flag as one atomic boolean, readable from any thread.
class AtomicApiBusyFlag final : public IApiBusyFlag {
 public:
  void Set() override { busy.store(true); }
  void Clear() override { busy.store(false); }
  bool IsSet() const { return busy.load(); }

 private:
  std::atomic<bool> busy{false};
};

}  // namespace mfab
