#include "log/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/backends.h"
#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetLogThreshold(LogSink::kService, 4);
    capture->Uninstall();
  }
  std::shared_ptr<LogCapture> capture = LogCapture::Install();
};

TEST_F(LoggerTest, RecordsNameTheCallerAndCutLongMessages) {
  auto& sink = AuthenticateLoggerService::Instance();
  KS_LOG(sink, kLogInfo, "FLOW", "hello");
  WriteLog(sink, kLogInfo, "FLOW", "mfab::ResourceManager::Instance", "C:\\src\\rm.cc", 7, "m1");
  WriteLog(sink, kLogInfo, "FLOW", "Flows::BaseFlow::RunSteps", "/src/flow.cc", 8, "m2");
  const auto entries = capture->Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].record.function,
            "{anonymous}::LoggerTest_RecordsNameTheCallerAndCutLongMessages_Test::TestBody");
  EXPECT_EQ(entries[1].record.function, "ResourceManager::Instance");
  EXPECT_EQ(entries[1].record.file, "rm.cc");
  EXPECT_EQ(entries[1].record.line, "7");
  EXPECT_EQ(entries[2].record.function, "Flows::BaseFlow::RunSteps");
  // Only backslashes separate directories in the file field.
  EXPECT_EQ(entries[2].record.file, "/src/flow.cc");

  // Messages are cut at 1023 characters; a format longer than that is cut before formatting.
  EXPECT_EQ(FormatLogMessage("%s", std::string(1023, 'x').c_str()), std::string(1023, 'x'));
  EXPECT_EQ(FormatLogMessage("%s", std::string(1024, 'x').c_str()), std::string(1023, 'x'));
  EXPECT_EQ(FormatLogMessage(std::string(1030, 'y') + "%d", 5), std::string(1023, 'y'));
}

TEST_F(LoggerTest, LevelsMapToEventsAndThresholdsMaskLowerLevelsPerSink) {
  auto& service = AuthenticateLoggerService::Instance();
  for (uint8_t level = 0; level <= 5; ++level) WriteLog(service, level, "FLOW", "f", "f.cc", 1, "");
  std::vector<uint16_t> events;
  for (const auto& entry : capture->Entries()) events.push_back(entry.eventId);
  EXPECT_EQ(events, (std::vector<uint16_t>{2012, 2011, 2010, 2009}));  // nothing above 3

  capture->Clear();
  SetLogThreshold(LogSink::kService, 2);  // errors and critical only
  KS_LOG(service, kLogInfo, "FLOW", "dropped %d", 1);
  KS_LOG(service, kLogWarning, "FLOW", "dropped %d", 2);
  KS_LOG(service, kLogError, "FLOW", "kept %d", 3);
  KS_LOG(AuthenticateLoggerMsftBt::Instance(), kLogInfo, "CLASSIC_BLUETOOTH", "other sink");
  const auto entries = capture->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].record.message, "kept 3");
  EXPECT_EQ(entries[1].sink, LogSink::kMsftBt);
  SetLogThreshold(LogSink::kService, 0);
  KS_LOG(service, kLogCritical, "FLOW", "disabled");
  EXPECT_FALSE(capture->Has("disabled"));
}

TEST(EnableContextTest, EnableRequestFollowsLevelAndKeywordRules) {
  EnableContext context;
  context.Update(EnableContext::kControlEnable, 3, EnableContext::kEventKeyword, 0);
  EXPECT_EQ(context.EventMask(), 0b0111);  // critical, error, warning
  context.Update(EnableContext::kControlEnable, 0, EnableContext::kEventKeyword, 0);
  EXPECT_EQ(context.EventMask(), 0b1111);  // level 0 means every level
  context.Update(EnableContext::kControlEnable, 4, 0x1, 0);
  EXPECT_EQ(context.EventMask(), 0);  // no shared keyword bit
  context.Update(EnableContext::kControlEnable, 4, ~0ULL, 0x8000000000000000ULL);
  EXPECT_EQ(context.EventMask(), 0);  // MatchAll asks for a bit the events lack
  context.Update(EnableContext::kControlEnable, 4, ~0ULL, 0);
  context.Update(7, 1, 0, 0);  // unknown control code
  EXPECT_EQ(context.EventMask(), 0b1111);
  context.Update(EnableContext::kControlDisable, 4, ~0ULL, 0);
  EXPECT_EQ(context.EventMask(), 0);
  EXPECT_EQ(context.SessionLevel(), 0);
}

TEST(LogLineTest, FunctionNamesLoseReturnTypeParametersAndQualifiersAndLinesCarryFiveFields) {
  const std::pair<const char*, const char*> cases[] = {
      {"static mfab::ResourceManager* mfab::ResourceManager::Instance()",
       "mfab::ResourceManager::Instance"},
      {"void mfab::Foo<T>::Bar(int) [with T = std::map<int, int>]", "mfab::Foo<T>::Bar"},
      {"bool mfab::X::operator()(int) const", "mfab::X::operator()"},
      {"mfab::SvcCtrlHandler(uint32_t, uint32_t)::<lambda()>", "mfab::SvcCtrlHandler::<lambda>"},
      {"int main(int, char**)", "main"},
  };
  for (const auto& [pretty, qualified] : cases) EXPECT_EQ(QualifiedFunctionName(pretty), qualified);
  LogRecord record{kLogWarning, "the message", "RPC-END", "RpcServer::Stop", "42", "rpc.cc"};
  EXPECT_THAT(
      FormatLogLine(LogSink::kService, 2011, record),
      ::testing::HasSubstr("Engine Warning RPC-END: the message [RpcServer::Stop rpc.cc:42]"));
}

}  // namespace
}  // namespace mfab
