#include "log/logger.h"

#include <gtest/gtest.h>

#include <string>

#include "log/backends.h"
#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { capture = LogCapture::Install(); }
  void TearDown() override {
    SetLogThreshold(LogSink::kService, 4);
    SetLogThreshold(LogSink::kMsftBt, 4);
    capture->Uninstall();
  }
  std::shared_ptr<LogCapture> capture;
};

TEST_F(LoggerTest, FormatCutsOutputAndFormatAt1023Characters) {
  const std::string longText(5000, 'x');
  EXPECT_EQ(FormatLogMessage("%s", longText.c_str()).size(), 1023u);
  EXPECT_EQ(FormatLogMessage("a%db", 12), "a12b");
  // A format longer than the buffer is cut before formatting.
  const std::string longFormat = std::string(1030, 'y') + "%d";
  EXPECT_EQ(FormatLogMessage(longFormat, 5), std::string(1023, 'y'));
}

TEST_F(LoggerTest, FunctionFieldDropsTheServiceNamespaceOnly) {
  auto& sink = AuthenticateLoggerService::Instance();
  WriteLog(sink, kLogInfo, "FLOW", "mfab::ResourceManager::Instance", "C:\\src\\rm.cc", 7, "m1");
  WriteLog(sink, kLogInfo, "FLOW", "Flows::BaseFlow::RunSteps", "/src/flow.cc", 8, "m2");
  WriteLog(sink, kLogInfo, "FLOW", "SvcCtrlHandler::<lambda>", "plain.cc", 9, "m3");
  auto entries = capture->Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].record.function, "ResourceManager::Instance");
  EXPECT_EQ(entries[0].record.file, "rm.cc");
  EXPECT_EQ(entries[0].record.line, "7");
  EXPECT_EQ(entries[1].record.function, "Flows::BaseFlow::RunSteps");
  // Only backslashes separate directories in the file field.
  EXPECT_EQ(entries[1].record.file, "/src/flow.cc");
  EXPECT_EQ(entries[2].record.function, "SvcCtrlHandler::<lambda>");
}

TEST_F(LoggerTest, LevelsMapToEventsAndLevelFourIsNeverWritten) {
  auto& sink = AuthenticateLoggerService::Instance();
  for (uint8_t level = 0; level <= 5; ++level) {
    WriteLog(sink, level, "FLOW", "f", "f.cc", 1, "level " + std::to_string(level));
  }
  auto entries = capture->Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].eventId, 2012);
  EXPECT_EQ(entries[1].eventId, 2011);
  EXPECT_EQ(entries[2].eventId, 2010);
  EXPECT_EQ(entries[3].eventId, 2009);
}

TEST_F(LoggerTest, ThresholdMasksLowerLevelsPerSink) {
  SetLogThreshold(LogSink::kService, 2);  // errors and critical only
  EXPECT_EQ(LogThreshold(LogSink::kService), 2u);
  auto& service = AuthenticateLoggerService::Instance();
  KS_LOG(service, kLogInfo, "FLOW", "dropped %d", 1);
  KS_LOG(service, kLogWarning, "FLOW", "dropped %d", 2);
  KS_LOG(service, kLogError, "FLOW", "kept %d", 3);
  KS_LOG(AuthenticateLoggerMsftBt::Instance(), kLogInfo, "CLASSIC_BLUETOOTH", "other sink");
  EXPECT_EQ(capture->Messages(), (std::vector<std::string>{"kept 3", "other sink"}));
  EXPECT_EQ(capture->Entries()[1].sink, LogSink::kMsftBt);

  SetLogThreshold(LogSink::kService, 0);
  KS_LOG(service, kLogCritical, "FLOW", "disabled");
  EXPECT_FALSE(capture->Has("disabled"));
}

TEST_F(LoggerTest, EnableRequestFollowsLevelAndKeywordRules) {
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

TEST_F(LoggerTest, MacroRecordsQualifiedFunctionOfTheCaller) {
  KS_LOG(AuthenticateLoggerService::Instance(), kLogInfo, "FLOW", "hello");
  auto entries = capture->Entries();
  ASSERT_EQ(entries.size(), 1u);
  // The service namespace is dropped from the front of the qualified name.
  EXPECT_EQ(entries[0].record.function,
            "{anonymous}::LoggerTest_MacroRecordsQualifiedFunctionOfTheCaller_Test::TestBody");
}

TEST(QualifiedFunctionNameTest, StripsReturnTypeParametersAndQualifiers) {
  EXPECT_EQ(QualifiedFunctionName("static mfab::ResourceManager* mfab::ResourceManager::Instance()"),
            "mfab::ResourceManager::Instance");
  EXPECT_EQ(QualifiedFunctionName("void mfab::Foo<T>::Bar(int) [with T = std::map<int, int>]"),
            "mfab::Foo<T>::Bar");
  EXPECT_EQ(QualifiedFunctionName("bool mfab::X::operator()(int) const"), "mfab::X::operator()");
  EXPECT_EQ(QualifiedFunctionName("mfab::SvcCtrlHandler(uint32_t, uint32_t)::<lambda()>"),
            "mfab::SvcCtrlHandler::<lambda>");
  EXPECT_EQ(QualifiedFunctionName("int main(int, char**)"), "main");
}

TEST(LogLineTest, CarriesAllFiveFields) {
  LogRecord record{kLogWarning, "the message", "RPC-END", "RpcServer::Stop", "42", "rpc.cc"};
  const std::string line = FormatLogLine(LogSink::kService, 2011, record);
  EXPECT_NE(line.find("Engine Warning RPC-END: the message [RpcServer::Stop rpc.cc:42]"),
            std::string::npos)
      << line;
}

}  // namespace
}  // namespace mfab
