#include "applet/session_init_data.h"

#include <algorithm>
#include <string>

#include "log/logger.h"
#include "platform/os_version.h"

namespace mfab {

SessionInitData::SessionInitData(platform::OsVersion& osVersion) : version(&osVersion) {}

Bytes SessionInitData::Serialize() const {
  const uint16_t generation = platform::GetWindowsVersionClass(*version);
  const std::string text = std::string("OS Version : ") + platform::OsGenerationName(generation);
  KS_LOG(AuthenticateLoggerService::Instance(), kLogInfo, "AM-FLOW", "%s", text.c_str());
  Bytes out;
  AppendTlvInt(out, kTagOsGeneration, std::min<uint16_t>(generation, kMaxOsGeneration));
  return out;
}

}  // namespace mfab
