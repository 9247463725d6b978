#pragma once

// The calls the smart-card factor makes into the user's own client process: collect the PIN,
// or have the client sign after the user confirmed. The RPC layer implements them over the
// client's callback socket.

#include <cstdint>
#include <stop_token>
#include <string>

#include "tlv/tlv.h"

namespace SmartCardFactor {

// Who to call: the client's callback endpoint Server2Client_<endpointNumber>, owned by the
// user with this SID (a socket of anyone else is never called), and the value passed as the
// second number of each call.
struct CallbackTarget {
  uint32_t endpointNumber = 0;
  uint32_t value = 0;
  std::string userSid;
};

class IClientCallbacks {
 public:
  virtual ~IClientCallbacks() = default;

  // 0 and the PIN text, the client's own non-zero status, or 1708 when the client cannot be
  // reached, dies or does not answer before stop is requested.
  virtual uint32_t GetPin(const CallbackTarget& target, int32_t first, std::string& pin,
                          std::stop_token stop) = 0;
  // 0 and the signature of data, as GetPin otherwise. text is shown to the user.
  virtual uint32_t SignHash(const CallbackTarget& target, const mfab::Bytes& data,
                            const std::string& text, mfab::Bytes& signature,
                            std::stop_token stop) = 0;
};

}  // namespace SmartCardFactor
