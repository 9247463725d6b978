#include "flows/client_flow_table.h"

namespace Flows {

void ClientFlowTable::Insert(uint32_t flowId, uint32_t ownerId) {
  keystone::MutexLock lock(mutex);
  records.emplace(flowId, ownerId);
}

void ClientFlowTable::Erase(uint32_t flowId) {
  keystone::MutexLock lock(mutex);
  records.erase(flowId);
}

std::vector<ClientFlowTable::Record> ClientFlowTable::Find(uint32_t flowId) {
  keystone::MutexLock lock(mutex);
  std::vector<Record> found;
  const auto [first, last] = records.equal_range(flowId);
  for (auto it = first; it != last; ++it) found.push_back({it->first, it->second});
  return found;
}

size_t ClientFlowTable::Size() {
  keystone::MutexLock lock(mutex);
  return records.size();
}

}  // namespace Flows
