#include "platform/unix_socket.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/platform/platform_test_support.h"

namespace platform {
namespace {

const std::vector<uint8_t> kFarewell{'b', 'u', 's', 'y'};

// With every descriptor taken, a waiting client is still told and let go, and the listener is
// ready for the next one. Runs in a process of its own, whose descriptor limit it lowers.
[[maybe_unused]] const bool kOutOfDescriptorsRole =
    platform_test::HelperRole("out-of-descriptors", [](const std::string& directory) {
      UnixListener listener = UnixListener::Bind(directory + "/socket", 0600);
      listener.Listen(8);
      UnixStream client = UnixStream::Connect(directory + "/socket");
      const rlimit low{64, 64};
      if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return 10;
      std::vector<int> taken;
      for (int fd; (fd = ::dup(0)) >= 0;) taken.push_back(fd);
      bool refused = false;
      if (listener.TryAccept(kFarewell, refused) || !refused) return 11;
      uint8_t got[8] = {};
      const size_t n = client.ReceiveSome(got, DeadlineAfter(std::chrono::seconds(5)));
      if (std::vector<uint8_t>(got, got + n) != kFarewell) return 12;
      if (client.ReceiveSome(got, DeadlineAfter(std::chrono::seconds(5))) != 0) return 13;
      // Nobody waits now; the reserve is back for the next refusal.
      if (listener.TryAccept(kFarewell, refused) || refused) return 14;
      ::close(taken.back());  // room for one more client, none for its acceptance
      UnixStream second = UnixStream::Connect(directory + "/socket");
      if (listener.TryAccept(kFarewell, refused) || !refused) return 15;
      return 0;
    });

[[maybe_unused]] const bool kConnectOnceRole =
    platform_test::HelperRole("connect-once", [](const std::string& directory) {
      UnixStream::Connect(directory + "/socket");
      return 0;
    });

TEST(UnixSocketTest, AFullProcessRefusesAClientInsteadOfLeavingItWaiting) {
  platform_test::TempDir dir;
  EXPECT_EQ(platform_test::RunHelper("out-of-descriptors", dir.path), 0);
}

TEST(UnixSocketTest, ASocketDirectoryIsTrustedOnlyWhenNoOneElseControlsIt) {
  platform_test::TempDir dir;
  const std::string socket = dir.path + "/sub/socket";
  std::filesystem::create_directory(dir.path + "/sub");
  const uint32_t me = CurrentUserId();
  EXPECT_EQ(UntrustedSocketDirectory(socket, {me}), "");
  EXPECT_NE(UntrustedSocketDirectory(socket, {me + 1}).find("belongs to uid"), std::string::npos);
  for (const mode_t mode : {0775, 0757, 01777}) {
    ::chmod((dir.path + "/sub").c_str(), mode);
    EXPECT_NE(UntrustedSocketDirectory(socket, {me}).find("writable by others"), std::string::npos)
        << std::oct << mode;
  }
  std::filesystem::create_directory_symlink(dir.path, dir.path + "/link");
  EXPECT_NE(UntrustedSocketDirectory(dir.path + "/link/socket", {me}).find("symbolic link"),
            std::string::npos);
  // Nothing to look at is nothing to trust or distrust: connecting says why.
  EXPECT_EQ(UntrustedSocketDirectory(dir.path + "/none/socket", {me}), "");
}

TEST(UnixSocketTest, ThePeerProcessIsTheOneThatConnected) {
  platform_test::TempDir dir;
  UnixListener listener = UnixListener::Bind(dir.path + "/socket", 0600);
  listener.Listen(8);
  UnixStream client = UnixStream::Connect(dir.path + "/socket");
  bool refused = false;
  std::optional<UnixStream> accepted = listener.TryAccept(kFarewell, refused);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->Credentials().pid, static_cast<uint32_t>(::getpid()));
  ProcessHandle peer = accepted->PeerProcess();
  EXPECT_TRUE(peer.IsOpen());
  EXPECT_FALSE(peer.Exited());
  EXPECT_TRUE(ProcessHandle().Exited());

  // A client that is gone by the time it is accepted leaves no process to name.
  ASSERT_EQ(platform_test::RunHelper("connect-once", dir.path), 0);
  accepted = listener.TryAccept(kFarewell, refused);
  ASSERT_TRUE(accepted);
  EXPECT_TRUE(accepted->PeerProcess().Exited());
}

}  // namespace
}  // namespace platform
