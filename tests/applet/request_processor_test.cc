#include "applet/request_processor.h"

#include <gtest/gtest.h>

#include "applet/session_init_data.h"
#include "common/config_keys.h"
#include "common/exceptions.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using platform::RegValue;

TEST(RequestProcessorTest, SaveStoresFilesInOrderAndEchoesTheRequest) {
  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               RegValue::String("/data"));
  DataController controller{registry, files};
  RequestProcessor processor{controller};
  SaveRequest save;
  save.masterVersionsData = {1};
  save.secondFileName = "_Sys";
  save.secondFileData = {2};
  save.firstFileName = "_Sys$Policy";
  save.firstFileData = {3};
  Message message;
  message.moduleId = 42;
  message.messageType = message_type::kSaveRequest;
  message.payload = save.Serialize();
  message.sessionId = 9;

  Message malformed = message;
  malformed.payload.resize(10);
  EXPECT_THROW(processor.ProcessSaveRequest(malformed), TlvException);
  EXPECT_TRUE(files.WriteLog().empty());

  const Message answer = Message::Parse(processor.ProcessSaveRequest(message));
  EXPECT_EQ(answer.moduleId, 42u);
  EXPECT_EQ(answer.sessionId, 9u);
  EXPECT_EQ(answer.messageType, message_type::kSaveResponse);
  EXPECT_EQ(answer.category, 0u);
  EXPECT_TRUE(answer.isResponse);
  SaveResponse response;
  response.Deserialize(answer.payload);
  EXPECT_EQ(response.result, 1);
  EXPECT_EQ(files.WriteLog(),
            (std::vector<std::string>{"/data/Data/_masterVersions.SDS", "/data/Data/_Sys.SDS",
                                      "/data/Data/_Sys$Policy.SDS"}));
  EXPECT_EQ(files.Content("/data/Data/_Sys$Policy.SDS"), std::vector<uint8_t>{3});
}

TEST(SessionInitDataTest, AnnouncesGenerationCappedAtThree) {
  auto capture = keystone::testing::LogCapture::Install();
  SetLogThreshold(LogSink::kService, 4);
  keystone::testing::MemoryRegistry registry;
  auto version = platform::CreateOsVersion(registry);
  const struct {
    const char* key;
    RegValue value;
    uint8_t generation;
    const char* name;
  } cases[] = {{"CurrentBuildNumber", RegValue::String("10586"), 2, "WIN_10_RS1"},
               {"CurrentBuildNumber", RegValue::String("15063"), 3, "WIN_10_RS2"},
               {"CurrentBuildNumber", RegValue::String("16299"), 3, "WIN_10_RS3"},
               {"CurrentBuildNumber", RegValue::String("17134"), 3, "WIN_10_LATER"},
               {"CurrentMajorVersionNumber", RegValue::Dword(6), 1, "WIN_7"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey, c.key, c.value);
    if (c.generation == 1) {
      platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                   "CurrentMinorVersionNumber", RegValue::Dword(1));
    }
    EXPECT_EQ(SessionInitData(*version).Serialize(), (Bytes{0, 0, 0, 4, 0, 0, 0, c.generation}));
    EXPECT_TRUE(capture->Has(std::string("OS Version : ") + c.name));
  }
  capture->Uninstall();
}

}  // namespace
}  // namespace mfab
