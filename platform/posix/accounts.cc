#include "platform/accounts.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <optional>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include <openssl/evp.h>
#include <systemd/sd-login.h>

#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

constexpr const char* kConsoleSeat = "seat0";
constexpr const char* kSidLabel = "keystone-machine-sid:";
constexpr size_t kMachineIdDigits = 32;
constexpr size_t kMaxMachineIdFileSize = 256;

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};
using SdString = std::unique_ptr<char, FreeDeleter>;

// Reads at most limit bytes of a file; false with errno set when it cannot be opened, and
// readError set when a read fails.
bool ReadSmallFile(const std::string& path, size_t limit, std::string& text, int& openError,
                   int& readError) {
  openError = 0;
  readError = 0;
  posix::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    openError = errno;
    return false;
  }
  std::array<char, 4096> chunk{};
  while (text.size() < limit) {
    const ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      readError = errno;
      return true;
    }
    if (got == 0) break;
    text.append(chunk.data(), static_cast<size_t>(got));
  }
  if (text.size() > limit) text.resize(limit);
  return true;
}

// No logind, no seat0 or nobody active on it: there is no console user.
bool MeansNoConsoleUser(int result) {
  const int code = -result;
  return code == ENOENT || code == ENXIO || code == ENODATA || code == ENOMEDIUM || code == ESRCH;
}

class PosixAccounts final : public Accounts {
 public:
  std::string ConsoleUserSid() override {
    char* rawSession = nullptr;
    uid_t uid = 0;
    const int result = sd_seat_get_active(kConsoleSeat, &rawSession, &uid);
    SdString session(rawSession);
    if (result < 0) {
      if (MeansNoConsoleUser(result)) return {};
      throw std::runtime_error("sd_seat_get_active failed: " + std::to_string(-result));
    }
    if (!session) return {};

    char* rawState = nullptr;
    if (sd_session_get_state(session.get(), &rawState) < 0) return {};
    SdString state(rawState);
    if (!state || std::string(state.get()) != "active") return {};

    // A greeter or lock screen holds the seat for nobody in particular.
    char* rawClass = nullptr;
    if (sd_session_get_class(session.get(), &rawClass) < 0) return {};
    SdString sessionClass(rawClass);
    if (!sessionClass || std::string(sessionClass.get()) != "user") return {};

    return LocalAccountSid(posix::ThisMachineSidAuthorities(), static_cast<uint32_t>(uid));
  }

  std::string UserSid(uint32_t uid) override {
    return LocalAccountSid(posix::ThisMachineSidAuthorities(), uid);
  }
};

uint32_t BigEndianWord(const unsigned char* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

}  // namespace

Accounts& SystemAccounts() {
  static PosixAccounts accounts;
  return accounts;
}

std::string LocalAccountSid(const MachineSidAuthorities& machine, uint32_t rid) {
  return "S-1-5-21-" + std::to_string(machine.a) + "-" + std::to_string(machine.b) + "-" +
         std::to_string(machine.c) + "-" + std::to_string(rid);
}

namespace posix {

MachineSidAuthorities DeriveMachineSidAuthorities(std::string_view machineId) {
  if (!machineId.empty() && machineId.back() == '\n') machineId.remove_suffix(1);
  if (machineId.size() != kMachineIdDigits) {
    throw std::invalid_argument("machine id is not 32 hex digits");
  }
  std::string text = kSidLabel;
  for (char digit : machineId) {
    if (!std::isxdigit(static_cast<unsigned char>(digit))) {
      throw std::invalid_argument("machine id is not 32 hex digits");
    }
    text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(digit))));
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestSize = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &digestSize, EVP_sha256(), nullptr) !=
          1 ||
      digestSize < 12) {
    throw std::runtime_error("SHA-256 of the machine id failed");
  }
  return MachineSidAuthorities{BigEndianWord(&digest[0]), BigEndianWord(&digest[4]),
                               BigEndianWord(&digest[8])};
}

MachineSidAuthorities ThisMachineSidAuthorities() {
  static std::mutex mutex;
  static std::optional<MachineSidAuthorities> cached;
  std::lock_guard<std::mutex> lock(mutex);
  if (cached) return *cached;
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string text;
    int openError = 0;
    int readError = 0;
    if (!ReadSmallFile(path, kMaxMachineIdFileSize, text, openError, readError) || readError != 0) {
      continue;
    }
    try {
      cached = DeriveMachineSidAuthorities(text);
      return *cached;
    } catch (const std::invalid_argument&) {
      // An empty or uninitialized machine-id (first boot); try the next file.
    }
  }
  throw std::runtime_error("no valid machine id in /etc/machine-id or /var/lib/dbus/machine-id");
}

}  // namespace posix
}  // namespace platform
