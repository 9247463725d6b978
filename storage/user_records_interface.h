#pragma once

#include <string>
#include <vector>

#include "tlv/tlv.h"

namespace mfab {

// The user records as the resource manager, the client operations and discovery use them.
// Thread-safe.
class IUserRecords {
 public:
  virtual ~IUserRecords() = default;

  // Resolves every mirrored user's display name and stores it beside the user's data. Blocks on
  // the name services; never throws for a user that does not resolve.
  virtual void updateUserRecord() = 0;
  // The SIDs of the mirrored users, read afresh.
  virtual std::vector<std::string> LoadUserList() = 0;
  // The serialized UserRecordResponse with the stored display name (empty when there is none).
  virtual Bytes getSavedDisplayName(const std::string& sid) = 0;
};

}  // namespace mfab
