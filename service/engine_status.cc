#include "service/engine_status.h"

#include <time.h>

#include <cstdio>
#include <exception>
#include <optional>

#include "applet/kiln_library.h"
#include "applet/tee_applet.h"
#include "common/config_keys.h"
#include "common/status.h"
#include "engine/exchange_statistics.h"
#include "engine/service.h"
#include "engine/system_power_state_manager.h"
#include "platform/registry.h"
#include "service/engine_rpc_wiring.h"
#include "service/owned_resource_manager.h"

namespace mfab {
namespace {

const char* PowerStateName(int32_t state) {
  switch (state) {
    case SystemPowerStateManager::kNormal: return "normal";
    case SystemPowerStateManager::kGoingToSleep: return "going-to-sleep";
    case SystemPowerStateManager::kConnectedStandby: return "connected-standby";
    default: return "unknown";
  }
}

// "2026-12-06T04:31:09Z".
std::string UtcTime(int64_t seconds) {
  const time_t value = static_cast<time_t>(seconds);
  tm parts{};
  if (gmtime_r(&value, &parts) == nullptr) return "";
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// Appends "key":value pairs to one object.
class JsonLine {
 public:
  void Raw(const char* key, const std::string& value) {
    text += text.size() > 1 ? "," : "";
    text += JsonString(key) + ":" + value;
  }
  void String(const char* key, const std::string& value) { Raw(key, JsonString(value)); }
  void Number(const char* key, uint64_t value) { Raw(key, std::to_string(value)); }
  void Signed(const char* key, int64_t value) { Raw(key, std::to_string(value)); }
  void Bool(const char* key, bool value) { Raw(key, value ? "true" : "false"); }
  void Null(const char* key) { Raw(key, "null"); }
  std::string Close() { return text + "}"; }

 private:
  std::string text = "{";
};

struct ManagerFacts {
  int32_t powerState = 0;
  uint32_t ownerSession = keystone::kNoSessionId;
  int32_t flowType = 0;
  size_t queueDepth = 0;
};

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7e) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

EngineStatusReport::EngineStatusReport(Sources statusSources)
    : sources(std::move(statusSources)), started(sources.clock.SteadyNow()) {}

std::string EngineStatusReport::Render(const platform::HostStatus& host) noexcept {
  try {
    JsonLine json;
    json.String("version", GetServiceFileVersion());
    json.Number("uptime_s", static_cast<uint64_t>((sources.clock.SteadyNow() - started) /
                                                  platform::kTicksPerSecond));

    // Copied out while inside; nothing else is asked meanwhile.
    std::optional<ManagerFacts> facts;
    sources.resources.TryUse([&facts](ResourceManager& manager) {
      ManagerFacts read;
      read.powerState = manager.PowerState().CurrentPowerState();
      read.ownerSession = manager.OwnerSessionId();
      read.flowType = manager.CurrentFlowType();
      read.queueDepth = manager.Applet().QueueDepth();
      facts = read;
    });
    json.Bool("engine.running", facts.has_value());
    json.String("power.state", facts ? PowerStateName(facts->powerState) : "unknown");
    if (host.lastPowerEvent.empty()) {
      json.Null("power.last_event");
      json.Null("power.last_event_time");
    } else {
      json.String("power.last_event", host.lastPowerEvent);
      json.String("power.last_event_time", UtcTime(host.lastPowerEventTime));
    }
    json.Bool("power.system_bus", host.systemBus);
    json.Bool("power.sleep_inhibitor", host.sleepInhibitorHeld);

    if (facts && facts->ownerSession != keystone::kNoSessionId) {
      json.Number("applet.owner_session", facts->ownerSession);
    } else {
      json.Null("applet.owner_session");
    }
    json.Signed("applet.flow_type", facts ? facts->flowType : 0);
    json.Number("applet.queue_depth", facts ? facts->queueDepth : 0);

    const ExchangeSnapshot exchanges = sources.exchanges.Snapshot();
    json.Number("applet.exchanges", exchanges.exchanges);
    json.Number("applet.latency.samples", exchanges.samples);
    json.Number("applet.latency.p50_us", static_cast<uint64_t>(exchanges.p50.count()));
    json.Number("applet.latency.p99_us", static_cast<uint64_t>(exchanges.p99.count()));
    for (size_t i = 0; i < kExchangeFailureClasses; ++i) {
      const std::string key =
          std::string("applet.errors.") + ExchangeFailureName(static_cast<ExchangeFailure>(i));
      json.Number(key.c_str(), exchanges.failures[i]);
    }

    std::string library;
    std::string firmware;
    try {
      library = ConfiguredKilnLibraryPath(sources.registry);
      firmware = platform::ReadRegistryString(sources.registry, keystone::kEngineKey,
                                              kFwVersionValue)
                     .value_or("");
    } catch (const std::exception& e) {
      library = library.empty() ? std::string("unreadable: ") + e.what() : library;
    }
    json.String("kiln.library", library);
    if (firmware.empty()) {
      json.Null("kiln.firmware");
    } else {
      json.String("kiln.firmware", firmware);
    }

    const std::optional<rpc::ListenerUsage> usage = sources.rpcServer.Usage();
    json.Bool("rpc.listening", usage.has_value());
    json.Number("rpc.connections", usage ? usage->total.connections : 0);
    json.Number("rpc.connection_limit", usage ? usage->connectionLimit : 0);
    json.Number("rpc.calls", usage ? usage->total.calls : 0);
    json.Number("rpc.call_limit", usage ? usage->callLimit : 0);

    for (const ComponentPresence& component : sources.components) {
      const std::string key = "component." + component.name;
      json.String(key.c_str(), component.present ? "present" : "absent: " + component.why);
    }
    return json.Close();
  } catch (const std::exception& e) {
    return "{\"error\":" + JsonString(e.what()) + "}";
  } catch (...) {
    return "{\"error\":\"status could not be gathered\"}";
  }
}

}  // namespace mfab
