#pragma once

#include "tlv/tlv.h"

namespace mfab {

// The applet as a flow's steps reach it. Thread-safe.
class IFlowHost {
 public:
  virtual ~IFlowHost() = default;

  // Sends one of the engine's own requests and returns the applet's final reply; the applet's
  // requests for host work on the way (store these files, ...) are answered as for a client's
  // request. Blocks until the applet answered (the applet manager bounds each wait). Throws the
  // exception of an applet error reply (FactorNotSupportedException, AlreadyEnrolledException,
  // CannotEnrollException, EnrollmentError, TEEException) and what the applet channel throws.
  virtual Bytes ExecuteMessageToApplet(const Bytes& request) = 0;
};

}  // namespace mfab
