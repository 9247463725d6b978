#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "common/mutex.h"

namespace Flows {

// The flows that clients started and that still run: who started each ({flowId, ownerId}, ordered
// by flowId; one flowId may hold several records). A factor that must reach the client in the
// middle of its flow (a PIN prompt in the user's session) finds it here.
//
// Owned by whoever runs the client flows; thread-safe.
class ClientFlowTable {
 public:
  struct Record {
    uint32_t flowId = 0;
    uint32_t ownerId = 0;
    bool operator==(const Record&) const = default;
  };

  void Insert(uint32_t flowId, uint32_t ownerId);
  // Erases every record of flowId.
  void Erase(uint32_t flowId);
  // The records of flowId, in insertion order.
  std::vector<Record> Find(uint32_t flowId);
  size_t Size();

 private:
  keystone::Mutex mutex;  // Guards the member below.
  std::multimap<uint32_t, uint32_t> records GUARDED_BY(mutex);
};

}  // namespace Flows
