// libFuzzer target over the registry mirror's decoders: the applet's factor, action and setting
// elements and its user data. The first input byte picks the decoder; the rest is the buffer. A
// decoder may refuse (GeneralException); anything else escaping, or a record the registry cannot
// hold, is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/exceptions.h"
#include "platform/account_names.h"
#include "storage/mirror_records.h"

namespace {

namespace records = ::AuthenticateDataMirroring;

void CheckKeyName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.find('\\') != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> input(data + 1, size - 1);
  try {
    switch (data[0] % 4) {
      case 0:
        for (const auto& [id, factor] : records::PolicyFactors::Decode(input).factors) {
          CheckKeyName(id);
        }
        break;
      case 1:
        for (const auto& action : records::PolicyActions::Decode(input).actions) {
          CheckKeyName(action.id);
          for (const auto& set : action.sets) {
            for (const auto& entry : set) CheckKeyName(entry.factorId);
          }
        }
        break;
      case 2:
        for (const auto& param : records::SystemParams::Decode(input).params) {
          CheckKeyName(param.name);
        }
        break;
      default:
        for (const auto& [sid, entries] : records::UserData::Decode(input).users) {
          if (!platform::IsSidText(sid)) std::abort();
          for (const auto& [factorId, values] : entries) CheckKeyName(factorId);
        }
        break;
    }
  } catch (const mfab::GeneralException&) {
    // Refused, as malformed applet data must be.
  }
  return 0;
}
