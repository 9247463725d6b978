#include "platform/console_session.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <systemd/sd-bus.h>

namespace platform {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kSeatPath = "/org/freedesktop/login1/seat/seat0";
constexpr const char* kSeatInterface = "org.freedesktop.login1.Seat";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";
constexpr const char* kUserInterface = "org.freedesktop.login1.User";
constexpr const char* kSeatName = "seat0";
constexpr const char* kWaylandPrefix = "wayland-";

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

// One connection to the system bus for one lookup; sd-bus objects are not shared across threads.
class Bus {
 public:
  explicit Bus(std::chrono::milliseconds callLimit) {
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
      bus = nullptr;
      throw std::runtime_error(std::string("cannot reach the system bus: ") + std::strerror(-r));
    }
    sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(callLimit.count()) * 1000u);
  }
  ~Bus() { sd_bus_flush_close_unref(bus); }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Reads a property with read(reply); false when the object or property does not exist (a
  // session that just ended). Throws std::runtime_error for any other failure.
  template <typename Read>
  bool Property(const char* path, const char* interface, const char* name, const char* type,
                Read&& read) {
    sd_bus_error error{};  // the zeroed SD_BUS_ERROR_NULL
    sd_bus_message* reply = nullptr;
    int r = sd_bus_get_property(bus, kLogind, path, interface, name, &error, &reply, type);
    const bool missing = r < 0 && (sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
                                   sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_PROPERTY));
    std::string failure;
    if (r < 0 && !missing) {
      failure = std::string("logind property ") + name + " of " + path + ": " +
                (error.message ? error.message : std::strerror(-r));
    }
    sd_bus_error_free(&error);
    if (r >= 0) r = read(reply);
    sd_bus_message_unref(reply);
    if (!failure.empty()) throw std::runtime_error(failure);
    if (missing) return false;
    if (r < 0) {
      throw std::runtime_error(std::string("logind property ") + name + " of " + path +
                               " is malformed: " + std::strerror(-r));
    }
    return !missing;
  }

  std::optional<std::string> String(const char* path, const char* interface, const char* name) {
    std::string value;
    const bool found = Property(path, interface, name, "s", [&](sd_bus_message* reply) {
      const char* text = nullptr;
      const int r = sd_bus_message_read(reply, "s", &text);
      if (r >= 0 && text) value = text;
      return r;
    });
    if (!found) return std::nullopt;
    return value;
  }

 private:
  sd_bus* bus = nullptr;
};

// The lowest-numbered Wayland socket of the user in its runtime directory.
std::optional<std::string> WaylandSocket(const std::string& runtimeDir, uint32_t uid) {
  DIR* dir = ::opendir(runtimeDir.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> best;
  unsigned long bestNumber = std::numeric_limits<unsigned long>::max();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!name.starts_with(kWaylandPrefix)) continue;
    const std::string digits = name.substr(std::strlen(kWaylandPrefix));
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    struct stat status {};
    if (::lstat((runtimeDir + "/" + name).c_str(), &status) != 0 || !S_ISSOCK(status.st_mode) ||
        status.st_uid != uid) {
      continue;
    }
    const unsigned long number = std::stoul(digits);
    if (number < bestNumber) {
      bestNumber = number;
      best = name;
    }
  }
  ::closedir(dir);
  return best;
}

bool OwnedEntry(const std::string& path, uint32_t uid, bool socket) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || status.st_uid != uid) return false;
  return socket ? S_ISSOCK(status.st_mode) : S_ISREG(status.st_mode);
}

std::string HomeOf(uint32_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

class LogindConsoleSessions final : public ConsoleSessions {
 public:
  explicit LogindConsoleSessions(ConsoleSessionOptions sessionOptions) : options(sessionOptions) {}

  ConsoleSessionLookup GraphicalSession() override {
    Bus bus(options.callLimit);
    ConsoleSession session;
    std::string sessionPath;
    const bool seat = bus.Property(kSeatPath, kSeatInterface, "ActiveSession", "(so)",
                                   [&](sd_bus_message* reply) {
                                     const char* id = nullptr;
                                     const char* path = nullptr;
                                     const int r = sd_bus_message_read(reply, "(so)", &id, &path);
                                     if (r >= 0) {
                                       session.id = id ? id : "";
                                       sessionPath = path ? path : "";
                                     }
                                     return r;
                                   });
    if (!seat) return None(std::string("there is no ") + kSeatName);
    if (session.id.empty()) return None(std::string("nobody is active on ") + kSeatName);

    const char* path = sessionPath.c_str();
    std::string userPath;
    const bool exists = bus.Property(path, kSessionInterface, "User", "(uo)",
                                     [&](sd_bus_message* reply) {
                                       const char* object = nullptr;
                                       const int r =
                                           sd_bus_message_read(reply, "(uo)", &session.uid, &object);
                                       if (r >= 0 && object) userPath = object;
                                       return r;
                                     });
    const std::optional<std::string> kind = bus.String(path, kSessionInterface, "Class");
    const std::optional<std::string> type = bus.String(path, kSessionInterface, "Type");
    const std::optional<std::string> state = bus.String(path, kSessionInterface, "State");
    const std::optional<std::string> display = bus.String(path, kSessionInterface, "Display");
    bus.Property(path, kSessionInterface, "Leader", "u", [&](sd_bus_message* reply) {
      return sd_bus_message_read(reply, "u", &session.leader);
    });
    if (!exists || !kind || !type || !state) {
      return None("session " + session.id + " ended while it was looked at");
    }
    if (*state == "closing") return None("session " + session.id + " is closing");
    if (*kind != "user" && *kind != "greeter" && *kind != "lock-screen") {
      return None("session " + session.id + " is of class " + *kind);
    }
    session.kind = *kind;
    const std::optional<std::string> runtimeDir =
        userPath.empty() ? std::nullopt : bus.String(userPath.c_str(), kUserInterface, "RuntimePath");
    if (!runtimeDir || runtimeDir->empty() || runtimeDir->front() != '/') {
      return None("the user of session " + session.id + " has no runtime directory");
    }

    std::vector<std::string>& env = session.environment;
    env.push_back("XDG_RUNTIME_DIR=" + *runtimeDir);
    if (*type == "wayland") {
      const std::optional<std::string> socket = WaylandSocket(*runtimeDir, session.uid);
      if (!socket) return None("session " + session.id + " has no Wayland socket in " + *runtimeDir);
      env.push_back("WAYLAND_DISPLAY=" + *socket);
    } else if (*type == "x11") {
      if (!display || display->empty()) return None("session " + session.id + " names no display");
      env.push_back("DISPLAY=" + *display);
      std::vector<std::string> cookies{*runtimeDir + "/gdm/Xauthority"};
      if (const std::string home = HomeOf(session.uid); home.starts_with("/")) {
        cookies.push_back(home + "/.Xauthority");
      }
      for (const std::string& cookie : cookies) {
        if (OwnedEntry(cookie, session.uid, false)) {
          env.push_back("XAUTHORITY=" + cookie);
          break;
        }
      }
    } else {
      return None("session " + session.id + " is not graphical (" + *type + ")");
    }
    env.push_back("XDG_SESSION_ID=" + session.id);
    env.push_back("XDG_SESSION_TYPE=" + *type);
    env.push_back("XDG_SESSION_CLASS=" + session.kind);
    env.push_back(std::string("XDG_SEAT=") + kSeatName);
    if (OwnedEntry(*runtimeDir + "/bus", session.uid, true)) {
      env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + *runtimeDir + "/bus");
    }
    return ConsoleSessionLookup{std::move(session), {}};
  }

 private:
  static ConsoleSessionLookup None(std::string why) { return {std::nullopt, std::move(why)}; }

  const ConsoleSessionOptions options;
};

}  // namespace

std::unique_ptr<ConsoleSessions> CreateConsoleSessions(ConsoleSessionOptions options) {
  return std::make_unique<LogindConsoleSessions>(options);
}

}  // namespace platform
