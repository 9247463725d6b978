#pragma once

// The engine's own applet path on the real simulated applet: the resource manager, command
// handler, applet manager and session load libkiln-sim.so through the configured library path,
// and the applet's sealed files are stored as .SDS files by the data controller in a temporary
// state directory (KEYSTONE_STATE_DIR while the object lives). Accounts, attestation, the
// mirroring and the user records are fakes. Not thread-safe: the test's thread starts engines.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "applet/kiln_library.h"
#include "common/config_keys.h"
#include "engine/flow_host.h"
#include "engine/resource_manager.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "storage/mirroring_host.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/fake_stored_data.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"

namespace keystone::testing {

// The running engine as the registry mirror and the flows reach it.
class EngineHost : public mfab::IMirroringHost, public mfab::IFlowHost {
 public:
  explicit EngineHost(std::unique_ptr<mfab::ResourceManager>& running) : manager(running) {}
  mfab::Bytes GetPolicyData() override { return manager->Applet().GetPolicyData(); }
  mfab::Bytes SendMessageUsingQueue(const mfab::Bytes& request) override {
    return manager->Applet().SendMessageUsingQueue(request);
  }
  void StartUserRecordTask() override {}
  void ClearUserData() override {}
  mfab::Bytes ExecuteMessageToApplet(const mfab::Bytes& request) override {
    ++flowRequests;
    return manager->ExecuteFlowMessage(request);
  }
  std::atomic<int> flowRequests{0};

 private:
  std::unique_ptr<mfab::ResourceManager>& manager;
};

// StateDirectory: TempDirectory or a type derived from it.
template <typename StateDirectory = TempDirectory>
class SimAppletEngine {
 protected:
  SimAppletEngine() {
    ::setenv("KEYSTONE_STATE_DIR", state.Path().c_str(), 1);
    ::unsetenv("KILN_SIM_STATE_DIR");  // the applet keeps its state under the engine's
    platform::WriteRegistryValue(registry, keystone::kEngineKey, mfab::kKilnLibraryPathValue,
                                 platform::RegValue::String(KILN_SIM_LIBRARY));
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "AppletPath",
                                 platform::RegValue::String("/opt/mfa.applet"));
    sessionOptions.tee.retrySleep = std::chrono::milliseconds(1);
    sessionOptions.communicationRetrySleep = std::chrono::milliseconds(1);
    appletOptions.activityTimeout = std::chrono::seconds(10);
  }
  ~SimAppletEngine() {
    manager.reset();
    ::unsetenv("KEYSTONE_STATE_DIR");
  }
  SimAppletEngine(const SimAppletEngine&) = delete;
  SimAppletEngine& operator=(const SimAppletEngine&) = delete;

  // A new engine (the previous one ends first): the applet channel as the service builds it, on
  // a library loaded afresh.
  void StartEngine(platform::OsVersion& osVersion, mfab::IPolicyMirrorReader& policy,
                   mfab::IFactorFlowRunner* flows) {
    manager.reset();
    mfab::ResourceManager::Options options;
    options.applet = appletOptions;
    auto library = std::make_shared<mfab::SharedKilnLibrary>(registry);
    manager = std::make_unique<mfab::ResourceManager>(
        mfab::ResourceManagerDependencies{
            platform::SystemClock(), registry, accounts, osVersion, controller, attestation,
            mirroring, userRecords, [this](mfab::SystemPowerStateManager&) { return authState; },
            [this, library, &osVersion, &policy](mfab::IApiBusyFlag& busy) {
              return std::make_unique<mfab::SessionAppletChannel>(
                  mfab::AppletSessionServices{registry, platform::SystemClock(), osVersion,
                                              controller, policy, busy},
                  library, sessionOptions);
            },
            nullptr, nullptr, flows},
        options);
  }

  StateDirectory state;
  MemoryRegistry registry;
  const std::shared_ptr<FakeAuthenticationState> authState =
      std::make_shared<FakeAuthenticationState>();
  mfab::DataController controller{registry, platform::SystemFileSystem()};
  FakeAccounts accounts;
  FakeAttestation attestation;
  RecordingMirroring mirroring;
  RecordingUserRecords userRecords;
  mfab::AppletSessionOptions sessionOptions;
  mfab::AppletManagerOptions appletOptions;
  std::unique_ptr<mfab::ResourceManager> manager;
};

}  // namespace keystone::testing
