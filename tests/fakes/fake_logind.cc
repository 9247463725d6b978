#include "tests/fakes/fake_logind.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <vector>

#include <systemd/sd-bus.h>

namespace keystone::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr auto kStartLimit = 10s;
constexpr const char* kRoot = "/org/freedesktop/login1";
constexpr const char* kSeatPath = "/org/freedesktop/login1/seat/seat0";
constexpr const char* kSessionPrefix = "/org/freedesktop/login1/session/s";
constexpr const char* kUserPrefix = "/org/freedesktop/login1/user/_";

std::string SessionPath(const FakeLogind::Session& session) { return kSessionPrefix + session.id; }
std::string UserPath(const FakeLogind::Session& session) {
  return kUserPrefix + std::to_string(session.uid);
}

// Replies with one value in a variant.
template <typename... Values>
int ReplyVariant(sd_bus_message* call, const char* type, Values... values) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'v', type);
  if (r >= 0) r = sd_bus_message_append(reply, type, values...);
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r < 0 ? r : 1;
}

}  // namespace

PrivateSystemBus::PrivateSystemBus() {
  if (const char* previous = std::getenv(kBusVariable)) savedAddress = previous;
  if (::access(kDbusDaemon, X_OK) != 0) return;
  const std::string config = dir.File("bus.conf");
  std::ofstream(config) << "<busconfig><type>system</type><listen>unix:path=" << dir.File("bus")
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow user=\"*\"/><allow own=\"*\"/>"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/></policy></busconfig>\n";
  daemon = SpawnProgram(kDbusDaemon, {"--config-file=" + config, "--nofork"}, {},
                        dir.File("bus.log"));
  address = "unix:path=" + dir.File("bus");
  ::setenv(kBusVariable, address.c_str(), 1);
  for (const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
       !ready && std::chrono::steady_clock::now() < deadline;) {
    sd_bus* probe = nullptr;
    ready = sd_bus_open_system(&probe) >= 0;
    sd_bus_flush_close_unref(probe);
    if (!ready) std::this_thread::sleep_for(5ms);
  }
}

PrivateSystemBus::~PrivateSystemBus() {
  if (daemon > 0) {
    ::kill(daemon, SIGTERM);
    WaitForExit(daemon, kStartLimit);
  }
  savedAddress ? ::setenv(kBusVariable, savedAddress->c_str(), 1) : ::unsetenv(kBusVariable);
}

FakeLogind::FakeLogind() {
  if (!bus.Ready()) return;
  std::promise<bool> started;
  std::future<bool> ready = started.get_future();
  server = std::jthread([this, &started](std::stop_token stop) { Serve(stop, started); });
  serving = ready.get();
}

void FakeLogind::Serve(std::stop_token stop, std::promise<bool>& started) {
  sd_bus* connection = nullptr;
  sd_bus_slot* slot = nullptr;
  bool ok = sd_bus_new(&connection) >= 0 &&
            sd_bus_set_address(connection, bus.Address().c_str()) >= 0 &&
            sd_bus_set_bus_client(connection, 1) >= 0 && sd_bus_start(connection) >= 0 &&
            sd_bus_add_fallback(
                connection, &slot, kRoot,
                [](sd_bus_message* message, void* self, sd_bus_error*) {
                  return static_cast<FakeLogind*>(self)->Answer(message);
                },
                this) >= 0 &&
            sd_bus_request_name(connection, "org.freedesktop.login1", 0) >= 0;
  started.set_value(ok);
  while (ok && !stop.stop_requested()) {
    const int r = sd_bus_process(connection, nullptr);
    if (r < 0) break;
    if (r == 0) sd_bus_wait(connection, 50'000);
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(connection);
}

int FakeLogind::Answer(sd_bus_message* message) {
  if (!sd_bus_message_is_method_call(message, "org.freedesktop.DBus.Properties", "Get")) {
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_METHOD, "not served");
  }
  const char* interface = nullptr;
  const char* name = nullptr;
  if (sd_bus_message_read(message, "ss", &interface, &name) < 0) {
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS, "malformed");
  }
  const std::string path = sd_bus_message_get_path(message);
  const std::string_view property = name;
  std::lock_guard<std::mutex> lock(mutex);
  if (path == kSeatPath && seatPresent && property == "ActiveSession") {
    if (!active) return ReplyVariant(message, "(so)", "", "/");
    return ReplyVariant(message, "(so)", active->id.c_str(), SessionPath(*active).c_str());
  }
  if (active && path == SessionPath(*active)) {
    if (property == "User") return ReplyVariant(message, "(uo)", active->uid, UserPath(*active).c_str());
    if (property == "Class") return ReplyVariant(message, "s", active->kind.c_str());
    if (property == "Type") return ReplyVariant(message, "s", active->type.c_str());
    if (property == "State") return ReplyVariant(message, "s", active->state.c_str());
    if (property == "Display") return ReplyVariant(message, "s", active->display.c_str());
    if (property == "Leader") return ReplyVariant(message, "u", active->leader);
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_PROPERTY, "%s", name);
  }
  if (active && path == UserPath(*active) && property == "RuntimePath") {
    return ReplyVariant(message, "s", active->runtimePath.c_str());
  }
  return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_OBJECT, "%s", path.c_str());
}

}  // namespace keystone::testing
