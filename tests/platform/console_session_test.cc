#include "platform/console_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/unix_socket.h"
#include "tests/fakes/fake_logind.h"
#include "tests/fakes/program_runner.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using keystone::testing::FakeLogind;
using ::testing::UnorderedElementsAre;

// Leaves a socket file at path, as a listening display server would.
void MakeSocket(const std::string& path) { UnixListener::Bind(path, 0600); }

class ConsoleSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!logind.Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
  }
  // An active session of this test's user, its runtime directory in the temporary directory.
  FakeLogind::Session Session(const std::string& kind, const std::string& type) {
    FakeLogind::Session session;
    session.id = "c7";
    session.uid = ::getuid();
    session.kind = kind;
    session.type = type;
    session.leader = 4242;
    session.runtimePath = runtime.Path();
    return session;
  }
  ConsoleSessionLookup Lookup(std::optional<FakeLogind::Session> session) {
    logind.SetActive(std::move(session));
    return sessions->GraphicalSession();
  }

  FakeLogind logind;
  keystone::testing::TempDirectory runtime;
  std::unique_ptr<ConsoleSessions> sessions = CreateConsoleSessions({5s});
};

TEST_F(ConsoleSessionTest, GivesAnX11SessionItsDisplay) {
  std::filesystem::create_directory(runtime.File("gdm"));
  std::ofstream(runtime.File("gdm/Xauthority")) << "cookie";
  MakeSocket(runtime.File("bus"));
  const ConsoleSessionLookup found = Lookup(Session("user", "x11"));
  ASSERT_TRUE(found.session) << found.whyNone;
  EXPECT_EQ(found.session->uid, ::getuid());
  EXPECT_EQ(found.session->leader, 4242u);
  EXPECT_THAT(
      found.session->environment,
      UnorderedElementsAre("XDG_RUNTIME_DIR=" + runtime.Path(), "DISPLAY=:0",
                           "XAUTHORITY=" + runtime.File("gdm/Xauthority"), "XDG_SESSION_ID=c7",
                           "XDG_SESSION_TYPE=x11", "XDG_SESSION_CLASS=user", "XDG_SEAT=seat0",
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime.File("bus")));
}

TEST_F(ConsoleSessionTest, GivesAWaylandGreeterItsLowestSocket) {
  MakeSocket(runtime.File("wayland-3"));
  MakeSocket(runtime.File("wayland-1"));
  std::ofstream(runtime.File("wayland-0")) << "not a socket";
  MakeSocket(runtime.File("wayland-x"));
  const ConsoleSessionLookup found = Lookup(Session("greeter", "wayland"));
  ASSERT_TRUE(found.session) << found.whyNone;
  EXPECT_THAT(found.session->environment,
              UnorderedElementsAre("XDG_RUNTIME_DIR=" + runtime.Path(), "WAYLAND_DISPLAY=wayland-1",
                                   "XDG_SESSION_ID=c7", "XDG_SESSION_TYPE=wayland",
                                   "XDG_SESSION_CLASS=greeter", "XDG_SEAT=seat0"));
}

TEST_F(ConsoleSessionTest, SaysWhyThereIsNoGraphicalSession) {
  FakeLogind::Session tty = Session("user", "tty");
  FakeLogind::Session background = Session("background", "x11");
  FakeLogind::Session closing = Session("user", "x11");
  closing.state = "closing";
  FakeLogind::Session noSocket = Session("user", "wayland");
  FakeLogind::Session noDisplay = Session("greeter", "x11");
  noDisplay.display.clear();
  FakeLogind::Session noRuntime = Session("lock-screen", "x11");
  noRuntime.runtimePath.clear();
  const struct {
    std::optional<FakeLogind::Session> session;
    const char* why;
  } cases[] = {
      {std::nullopt, "nobody is active on seat0"}, {tty, "is not graphical (tty)"},
      {background, "is of class background"},      {closing, "is closing"},
      {noSocket, "has no Wayland socket"},         {noDisplay, "names no display"},
      {noRuntime, "has no runtime directory"},
  };
  for (const auto& c : cases) {
    const ConsoleSessionLookup found = Lookup(c.session);
    EXPECT_FALSE(found.session) << c.why;
    EXPECT_NE(found.whyNone.find(c.why), std::string::npos) << found.whyNone;
  }
  logind.SetSeatPresent(false);
  EXPECT_EQ(Lookup(Session("user", "x11")).whyNone, "there is no seat0");
}

// The stand-in's bus puts the variable back when it goes.
TEST_F(ConsoleSessionTest, ThrowsWhenTheSessionManagerCannotBeAsked) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + runtime.File("none")).c_str(), 1);
  EXPECT_THROW(CreateConsoleSessions()->GraphicalSession(), std::runtime_error);
}

}  // namespace
}  // namespace platform
