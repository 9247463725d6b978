#pragma once

// A session over the fake library, an in-memory registry and an in-memory data directory.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "applet/api_busy_flag.h"
#include "applet/applet_session.h"
#include "common/config_keys.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "storage/policy_mirror.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_kiln.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tlv/tlv.h"

namespace keystone::testing {

class NoPolicyReader : public mfab::IPolicyMirrorReader {
 public:
  std::vector<std::string> FactorIds() override { return {}; }
  std::vector<std::string> ActionIds() override { return {}; }
};

// Records the order in which the flag is raised and lowered.
class RecordingBusyFlag : public mfab::IApiBusyFlag {
 public:
  void Set() override { events.push_back("set"); }
  void Clear() override { events.push_back("clear"); }

  std::vector<std::string> events;
};

class AppletSessionFixture : public ::testing::Test {
 protected:
  static constexpr char kDataRoot[] = "/data";
  static constexpr char kUserA[] = "S-1-5-21-10-20-30-1001";
  static constexpr char kUserB[] = "S-1-5-21-10-20-30-1002";

  void SetUp() override {
    capture = LogCapture::Install();
    EnableEngineLog();
    using platform::RegValue;
    platform::WriteRegistryValue(registry, kEngineKey, "DataDir", RegValue::String(kDataRoot));
    options.tee = FastTeeOptions();
    options.communicationRetrySleep = std::chrono::milliseconds(1);
  }
  void TearDown() override {
    session.reset();
    capture->Uninstall();
  }

  mfab::AppletSession& Open() {
    services.emplace(
        mfab::AppletSessionServices{registry, clock, *osVersion, controller, policy, busy});
    session = std::make_unique<mfab::AppletSession>(*services, kiln, options);
    return *session;
  }

  static std::string PathOf(const std::string& fullName) {
    return std::string(kDataRoot) + "/Data/" + fullName + ".SDS";
  }
  void PutData(const std::string& fullName, const std::string& content = "blob") {
    files.PutFile(PathOf(fullName), content);
  }
  // The file's content; "none" when there is no such file.
  std::string DataOf(const std::string& fullName) const {
    if (!files.HasFile(PathOf(fullName))) return "none";
    const auto bytes = files.Content(PathOf(fullName));
    return std::string(bytes.begin(), bytes.end());
  }

  // The categories of the stored-data block that follows the first `skip` bytes; nullopt when
  // there is no block.
  static std::optional<std::set<uint16_t>> BlockCategories(const mfab::Bytes& sent, size_t skip) {
    if (sent.size() <= skip) return std::nullopt;
    const mfab::TlvIndex top = mfab::ParseTlv(sent.data() + skip, sent.data() + sent.size());
    if (!mfab::HasTlv(top, 0x0006)) return std::nullopt;
    const uint8_t* block = mfab::GetTlv(top, 0x0006);
    const mfab::TlvIndex body =
        mfab::ParseTlv(mfab::TlvValueBegin(block), mfab::TlvValueEnd(block));
    const uint8_t* list = mfab::GetTlv(body, 0x7BAC);
    std::set<uint16_t> categories;
    for (const uint8_t* item = mfab::TlvValueBegin(list); item != mfab::TlvValueEnd(list);
         item = mfab::TlvNext(item)) {
      categories.insert(static_cast<uint16_t>(mfab::TlvToInt(item)));
    }
    return categories;
  }

  std::shared_ptr<LogCapture> capture;
  MemoryRegistry registry;
  MemoryFileSystem files;
  mfab::DataController controller{registry, files};
  NoPolicyReader policy;
  RecordingBusyFlag busy;
  SteppingClock clock;
  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  std::shared_ptr<FakeKiln> kiln = std::make_shared<FakeKiln>();
  mfab::AppletSessionOptions options;
  std::optional<mfab::AppletSessionServices> services;
  std::unique_ptr<mfab::AppletSession> session;
};

}  // namespace keystone::testing
