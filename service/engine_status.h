#pragma once

// The engine's health view: what the control socket's "status" request answers. One line of
// JSON, a flat object whose keys are dotted paths (docs/health-view.md lists them):
//   {"version":"1.0.0.0","uptime_s":12,"power.state":"normal",...}
// Built on the host's event loop from counters the components keep anyway: no call reaches the
// applet, and no lock is held while another component is asked.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/service_host.h"

namespace platform {
class Registry;
}
namespace rpc {
class EngineRpcServer;
}

namespace mfab {

class ExchangeStatistics;
class OwnedResourceManager;

// A part of the engine that may be missing, and why.
struct ComponentPresence {
  std::string name;
  bool present = false;
  std::string why;  // when absent
};

// Owned by the composition root; everything it borrows must outlive it. Thread-safe as far as
// the borrowed components are (Render may run on any one thread at a time).
class EngineStatusReport {
 public:
  struct Sources {
    platform::Clock& clock;
    platform::Registry& registry;
    OwnedResourceManager& resources;
    rpc::EngineRpcServer& rpcServer;
    ExchangeStatistics& exchanges;
    std::vector<ComponentPresence> components;
  };

  explicit EngineStatusReport(Sources sources);
  EngineStatusReport(const EngineStatusReport&) = delete;
  EngineStatusReport& operator=(const EngineStatusReport&) = delete;

  // The JSON line (no newline). Never throws: a part that cannot be read is reported as such.
  std::string Render(const platform::HostStatus& host) noexcept;

 private:
  Sources sources;
  const platform::Ticks started;
};

// Text for a JSON string literal, quotes included; control bytes escaped, bytes above 0x7e
// written as \u00XX so that the line stays printable ASCII.
std::string JsonString(const std::string& text);

}  // namespace mfab
