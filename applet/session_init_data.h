#pragma once

// The bytes handed to the applet when a session is created:
//   0x0000  4-byte big-endian integer: the operating-system generation, capped at 3
//           (1 "WIN_7", 2 "WIN_10_RS1", 3 "WIN_10_RS2" and every later one)
// The applet session appends the piggy-back block (0x0006) after it when there is stored data to
// hand over at session start.

#include <cstdint>

#include "tlv/tlv.h"

namespace platform {
class OsVersion;
}  // namespace platform

namespace mfab {

class SessionInitData {
 public:
  static constexpr uint16_t kTagOsGeneration = 0x0000;
  // The applet knows no generation above this one.
  static constexpr uint16_t kMaxOsGeneration = 3;

  // osVersion is borrowed and must outlive the object.
  explicit SessionInitData(platform::OsVersion& osVersion);

  // Determines the generation now and logs its name. Throws what the version facts throw
  // ("Invalid version", "invalid stol argument", "stol argument out of range").
  Bytes Serialize() const;

 private:
  platform::OsVersion* version;
};

}  // namespace mfab
