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

  // 0 and the PIN text (at most 256 bytes), the client's own non-zero status, or 1708 when the
  // client cannot be reached, dies or does not answer before stop is requested. attempt is 1
  // for the first prompt and counts up after the card refused a PIN, so the client can say so.
  virtual uint32_t GetPin(const CallbackTarget& target, int32_t attempt, std::string& pin,
                          std::stop_token stop) = 0;
  // 0 and the client's signature of data (SHA-256, PKCS#1 v1.5, at most 1024 bytes) made with
  // the key of the certificate whose SHA-1 thumbprint (lower-case hex) is certificateSha1; the
  // client asks the user to confirm and for the card's PIN. Otherwise as GetPin.
  virtual uint32_t SignHash(const CallbackTarget& target, const mfab::Bytes& data,
                            const std::string& certificateSha1, mfab::Bytes& signature,
                            std::stop_token stop) = 0;
};

}  // namespace SmartCardFactor
