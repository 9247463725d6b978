// The built keystonectl's applet, auth and session commands: command-line errors, and what they
// say when no engine listens (the commands against a running engine are in the end-to-end tests).

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>

namespace {

struct Outcome {
  int exitCode = -1;
  std::string text;
};

class AppletCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef KEYSTONECTL_BINARY
    GTEST_SKIP() << "keystonectl is not part of this build";
#endif
  }

  // Runs "keystonectl <arguments>" against a socket nobody listens on.
  Outcome Run(const std::string& arguments) {
#ifdef KEYSTONECTL_BINARY
    const std::string dir = ::testing::TempDir();
    const std::string out = dir + "applet_cmd_out.txt";
    const std::string command = "KEYSTONE_RUNTIME_DIR=" + dir + "no-engine " +
                                std::string(KEYSTONECTL_BINARY) + " " + arguments + " >" + out +
                                " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream file(out);
    std::stringstream text;
    text << file.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
#else
    (void)arguments;
    return {};
#endif
  }
};

TEST_F(AppletCommandTest, BadCommandLinesExitTwoWithTheReason) {
  const struct {
    const char* arguments;
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
    const Outcome outcome = Run(c.arguments);
    EXPECT_EQ(outcome.exitCode, 2) << c.arguments << "\n" << outcome.text;
    EXPECT_NE(outcome.text.find(c.reason), std::string::npos) << c.arguments << "\n"
                                                              << outcome.text;
  }
}

TEST_F(AppletCommandTest, WithoutAnEngineEachCommandSaysSoAndExitsOne) {
  for (const char* arguments :
       {"applet policy get", "applet send --type 0xABBA0065 --payload 7b010000", "auth wait",
        "session new", "applet policy set --factor pin:1:PIN --action OSLogin=pin"}) {
    const Outcome outcome = Run(arguments);
    EXPECT_EQ(outcome.exitCode, 1) << arguments << "\n" << outcome.text;
    EXPECT_NE(outcome.text.find("cannot reach the engine"), std::string::npos)
        << arguments << "\n" << outcome.text;
  }
}

TEST_F(AppletCommandTest, HelpDescribesEveryForm) {
  const Outcome outcome = Run("--help");
  EXPECT_EQ(outcome.exitCode, 0);
  for (const char* form : {"keystonectl applet send --type N", "keystonectl applet policy set",
                           "keystonectl applet policy get", "keystonectl auth wait",
                           "keystonectl session new", "keystonectl session release ID"}) {
    EXPECT_NE(outcome.text.find(form), std::string::npos) << form;
  }
}

}  // namespace
