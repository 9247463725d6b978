// The built keystonectl's applet, auth and session commands: command-line errors, and what they
// say when no engine listens (the commands against a running engine are in the end-to-end tests).

#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"

namespace {

using keystone::testing::ProgramResult;

class AppletCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*keystone::testing::kKeystonectlBinary) GTEST_SKIP() << "keystonectl was not built";
  }
  // Runs "keystonectl <words>" against a runtime directory nobody listens in.
  ProgramResult Run(const std::string& words) {
    return keystone::testing::RunProgram(keystone::testing::kKeystonectlBinary,
                                         keystone::testing::Words(words),
                                         {.env = {{"KEYSTONE_RUNTIME_DIR", dir.File("none")}}});
  }
  keystone::testing::TempDirectory dir;
};

TEST_F(AppletCommandTest, BadCommandLinesExitTwoWithTheReason) {
  const struct {
    const char* words;
    const char* reason;
  } cases[] = {
      {"applet", "applet needs send or policy"},
      {"applet send --module 5", "applet send needs --type"},
      {"applet send --type banana", "--type needs a number, not 'banana'"},
      {"applet send --type 0xABBA0065 --payload", "--payload needs a value"},
      {"applet policy set", "policy set needs --file or at least one --factor"},
      {"applet policy set --factor pin", "--factor needs ID:TYPE[:NAME], not 'pin'"},
      {"applet policy set --factor pin:1 --action OSLogin", "--action needs ID=FACTOR"},
      {"applet policy set --factor pin:1 --file x.hex", "--file and --factor/--action exclude"},
      {"applet policy get --bogus", "unknown policy get argument '--bogus'"},
      {"auth", "auth needs wait"},
      {"auth wait --timeout soon", "--timeout needs seconds, not 'soon'"},
      {"session release", "session release needs the session id"},
      {"session renew", "unknown session subcommand 'renew'"},
  };
  for (const auto& c : cases) {
    const ProgramResult result = Run(c.words);
    EXPECT_EQ(result.exitCode, 2) << c.words << "\n" << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.words << "\n" << result.err;
  }
}

TEST_F(AppletCommandTest, WithoutAnEngineEachCommandSaysSoAndExitsOne) {
  for (const char* words :
       {"applet policy get", "applet send --type 0xABBA0065 --payload 7b010000", "auth wait",
        "session new", "applet policy set --factor pin:1:PIN --action OSLogin=pin"}) {
    const ProgramResult result = Run(words);
    EXPECT_EQ(result.exitCode, 1) << words << "\n" << result.err;
    EXPECT_NE(result.err.find("cannot reach the engine"), std::string::npos) << words << "\n"
                                                                             << result.err;
  }
}

TEST_F(AppletCommandTest, HelpDescribesEveryForm) {
  const ProgramResult result = Run("--help");
  EXPECT_EQ(result.exitCode, 0);
  for (const char* form : {"keystonectl applet send --type N", "keystonectl applet policy set",
                           "keystonectl applet policy get", "keystonectl auth wait",
                           "keystonectl session new", "keystonectl session release ID"}) {
    EXPECT_NE(result.out.find(form), std::string::npos) << form;
  }
}

}  // namespace
