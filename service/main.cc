// keystone-engine: the engine's service process. Runs in the foreground, under systemd
// (Type=notify) or by hand, until SIGTERM, SIGINT or a stop request on its control socket.

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/config_keys.h"
#include "common/version.h"
#include "engine/desktop_authentication.h"
#include "engine/exchange_statistics.h"
#include "engine/service.h"
#include "flows/discovery_commands.h"
#include "flows/factor_registry.h"
#include "flows/flow_runner.h"
#include "log/logger.h"
#include "platform/account_names.h"
#include "platform/accounts.h"
#include "platform/clock.h"
#include "platform/console_session.h"
#include "platform/os_version.h"
#include "platform/paths.h"
#include "platform/power_capabilities.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/process_limits.h"
#include "platform/signed_file_verifier.h"
#include "platform/system_log.h"
#include "platform/file_system.h"
#include "platform/user_process.h"
#include "service/bluetooth_wiring.h"
#include "service/engine_components.h"
#include "service/engine_rpc_wiring.h"
#include "service/engine_status.h"
#include "service/owned_resource_manager.h"
#include "service/phone_presence_wiring.h"
#include "service/smart_card_wiring.h"
#include "storage/data_controller.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/user_records.h"

namespace mfab {
namespace {

constexpr const char* kUsage =
    "usage: keystone-engine [--version | --help]\n"
    "\n"
    "The Keystone Engine service. Takes no options: configuration comes from the registry\n"
    "($KEYSTONE_STATE_DIR/registry.db). Stops on SIGTERM, SIGINT or 'keystonectl event stop'.\n"
    "Environment: KEYSTONE_STATE_DIR, KEYSTONE_RUNTIME_DIR, KEYSTONE_LOG=journal|stderr.\n";

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// Applies the per-sink thresholds of the Logging key; a sink without a value writes everything.
void ApplyLogThresholds(platform::Registry& registry) {
  constexpr uint32_t kDefaultThreshold = 4;
  for (int i = 0; i < kLogSinkCount; ++i) {
    const auto sink = static_cast<LogSink>(i);
    uint32_t threshold = kDefaultThreshold;
    try {
      threshold = platform::ReadRegistryDword(registry, keystone::kLoggingKey, LogSinkName(sink))
                      .value_or(kDefaultThreshold);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogWarning, "FLOW", "Ignoring the log threshold of %s (%s)",
             LogSinkName(sink), e.what());
    }
    SetLogThreshold(sink, threshold);
  }
}

// The parts of the engine that a build may lack, for the health view.
std::vector<ComponentPresence> PresentComponents(const ComponentPresence& smartCard,
                                                bool bluetooth,
                                                const ComponentPresence& phonePresence) {
  return {
      {"factor_flows", true, ""},
      smartCard,
      {"bluetooth_manager", bluetooth, bluetooth ? "" : "no Bluetooth stack and no simulated phones"},
      phonePresence,
  };
}

}  // namespace

// The process entry proper; logs under its own name and returns 0 in every case once the
// service could be set up.
int KSEngineServiceMain() {
  SetLogBackend(platform::CreateSystemLogBackend());
  // Client connections take descriptors; the limit is raised before anything opens one.
  const uint64_t descriptors = platform::RaiseOpenFileLimit();

  const std::string stateDirectory = platform::StateDirectory();
  std::unique_ptr<platform::Registry> registry;
  try {
    // Readable by all for root: other programs read the registry mirror in it.
    platform::CreateDirectories(stateDirectory, platform::StateDirectoryMode());
    platform::CheckDirectoryWritable(stateDirectory);
    registry = platform::OpenSystemRegistry();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogCritical, "FLOW", "Cannot use the state directory %s (%s)",
           stateDirectory.c_str(), e.what());
    std::fprintf(stderr, "keystone-engine: cannot use the state directory %s: %s\n",
                 stateDirectory.c_str(), e.what());
    return 1;
  }
  ApplyLogThresholds(*registry);
  KS_LOG(Log(), kLogInfo, "FLOW", "Descriptor limit %llu",
         static_cast<unsigned long long>(descriptors));

  std::unique_ptr<platform::PowerCapabilities> power = platform::CreatePowerCapabilities(registry.get());
  const std::unique_ptr<platform::SignedFileVerifier> verifier =
      platform::CreateSignedFileVerifier();
  const std::unique_ptr<platform::ConsoleSessions> consoleSessions =
      platform::CreateConsoleSessions();
  const std::unique_ptr<platform::UserProcessLauncher> launcher =
      platform::CreateUserProcessLauncher();
  DesktopAuthentication desktop(*registry, platform::SystemAccounts(), *consoleSessions, *verifier,
                                *launcher);
  // The stored-data components live until the process ends; the resource manager and the RPC
  // server, which use them, are stopped before they go.
  const std::unique_ptr<platform::AccountNames> accountNames = platform::CreateSystemAccountNames();
  UserRecords userRecords(*registry, *accountNames);
  // Before the resource manager's owner: its applet manager counts into it until destroyed.
  ExchangeStatistics exchangeStatistics(platform::SystemClock());
  OwnedResourceManager resources;
  EngineMirroringHost mirroringHost(resources);
  DataController dataController(*registry, platform::SystemFileSystem());
  AuthenticateDataMirroring mirroring(*registry, dataController, mirroringHost);
  DiscoveryCommands discovery(mirroring, userRecords);
  EngineFlowHost flowHost(resources);
  const std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(*registry);
  const SmartCardWiring smartCard = MakeSmartCardFactor(
      {*registry, mirroring, flowHost, platform::SystemClock(), *osVersion});
  Factors::FactorRegistry factors(mirroring, smartCard.factors);
  FlowRunner flows(factors, mirroring, flowHost, platform::SystemAccounts());
  BluetoothProviders btProviders = ChooseBluetoothProviders(*registry);
  // The presence monitor shares the Bluetooth manager's providers: one stack, one classic provider.
  const PhonePresenceWiring phonePresence = MakePhonePresenceMonitor(
      {platform::SystemClock(), *registry, mirroring, resources, btProviders.factory, {}});
  const std::shared_ptr<BtManager> btManager = MakeBluetoothManager(
      {platform::SystemClock(), *registry, *osVersion, mirroring, resources,
       std::move(btProviders.factory), std::move(btProviders.radioPresent), {}});
  rpc::EngineRpcServer rpcServer(resources,
                                 rpc::StoredDataComponents{mirroring, userRecords, discovery},
                                 desktop, flows);
  EngineEnvironment environment{
      platform::SystemClock(), *registry, platform::SystemAccounts(), *verifier, dataController,
      mirroring, mirroring, userRecords, /*kilnLibrary=*/nullptr, resources, &rpcServer};
  environment.factorFlows = &flows;
  environment.runningFlows = &flows;
  environment.btManager = btManager;
  environment.stopBluetooth = std::move(btProviders.stop);
  environment.softBtManager = phonePresence.manager;
  EngineComponentsOptions componentOptions;
  componentOptions.resources.applet.statistics = &exchangeStatistics;
  EngineComponents components(std::move(environment), componentOptions);
  EngineStatusReport status({platform::SystemClock(), *registry, resources, rpcServer,
                             exchangeStatistics,
                             PresentComponents(smartCard.presence, btManager != nullptr,
                                               phonePresence.presence)});

  platform::ServiceHostOptions hostOptions;
  hostOptions.runtimeDirectory = platform::RuntimeDirectory();
  hostOptions.statusProvider = [&status](const platform::HostStatus& hostStatus) {
    return status.Render(hostStatus);
  };
  std::unique_ptr<platform::ServiceHost> host = platform::CreateServiceHost(hostOptions);
  {
    Service service(*host, *power, components);
    const int error = host->StartServiceCtrlDispatcher(
        kServiceName, [&service] { service.SvcMain(0, nullptr); });
    if (error != 0) {
      KS_LOG(Log(), kLogError, "FLOW", "StartServiceCtrlDispatcher Failed (%d)", error);
    }
  }
  return 0;
}

}  // namespace mfab

int main(int argc, char** argv) {
  // There are no options; anything but these two is ignored.
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("keystone-engine %s\n", mfab::GetServiceFileVersion().c_str());
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(mfab::kUsage, stdout);
    return 0;
  }
  try {
    return mfab::KSEngineServiceMain();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "keystone-engine: %s\n", e.what());
    return 1;
  }
}
