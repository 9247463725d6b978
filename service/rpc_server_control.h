#pragma once

namespace mfab {

// The client RPC server as the service starts and stops it.
class IRpcServerControl {
 public:
  virtual ~IRpcServerControl() = default;
  // Starts listening; false (after logging why) when the server cannot listen.
  virtual bool StartListening() = 0;
  // Stops listening; calls in progress end within the server's stop limit.
  virtual void StopListening() = 0;
};

}  // namespace mfab
