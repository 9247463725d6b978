#include "tests/platform/inhibiting_logind.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

#include "tests/fakes/locked.h"
#include "tests/platform/platform_test_support.h"

namespace platform_test {
namespace {

constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
// The serving loop re-checks its stop request this often.
constexpr int kPollSliceMs = 50;

}  // namespace

InhibitingLogind::InhibitingLogind() {
  if (!bus.Ready()) return;
  wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  serving = wakeFd >= 0 && sd_bus_new(&connection) >= 0 &&
            sd_bus_set_address(connection, bus.Address().c_str()) >= 0 &&
            sd_bus_set_bus_client(connection, 1) >= 0 &&
            sd_bus_negotiate_fds(connection, 1) >= 0 && sd_bus_start(connection) >= 0 &&
            sd_bus_add_object(connection, &slot, kPath, &InhibitingLogind::OnCall, this) >= 0 &&
            sd_bus_request_name(connection, "org.freedesktop.login1", 0) >= 0;
  if (serving) server = std::jthread([this](std::stop_token stop) { Serve(stop); });
}

InhibitingLogind::~InhibitingLogind() {
  server = {};  // stops and joins
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(connection);
  for (const Inhibitor& inhibitor : held) ::close(inhibitor.readEnd);
  if (wakeFd >= 0) ::close(wakeFd);
}

void InhibitingLogind::PrepareForSleep(bool start) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    pendingSignals.push_back(start);
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof(one));
}

void InhibitingLogind::Record(const std::string& event) {
  std::lock_guard<std::mutex> lock(mutex);
  RecordLocked(event);
}

void InhibitingLogind::RecordLocked(const std::string& event) {
  events.push_back(event);
  changed.notify_all();
}

std::vector<std::string> InhibitingLogind::Events() {
  return keystone::testing::LockedCopy(mutex, events);
}

bool InhibitingLogind::WaitForEvents(size_t count) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, kWaitLimit, [&] { return events.size() >= count; });
}

size_t InhibitingLogind::Held() { return keystone::testing::LockedCopy(mutex, held).size(); }

void InhibitingLogind::Serve(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd fds[2] = {{sd_bus_get_fd(connection), static_cast<short>(POLLIN), 0},
                     {wakeFd, POLLIN, 0}};
    const int wanted = sd_bus_get_events(connection);
    if (wanted > 0) fds[0].events = static_cast<short>(wanted);
    ::poll(fds, 2, kPollSliceMs);
    // Releases first: one that happened before a call arrived is listed before that call.
    CheckReleases();
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof(count));
    }
    EmitPending();
    int r = 0;
    while ((r = sd_bus_process(connection, nullptr)) > 0) {
    }
    if (r < 0) return;
  }
}

void InhibitingLogind::CheckReleases() {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = held.begin(); it != held.end();) {
    pollfd fd{it->readEnd, POLLIN, 0};
    if (::poll(&fd, 1, 0) == 1 && (fd.revents & POLLHUP)) {
      RecordLocked("released #" + std::to_string(it->number));
      ::close(it->readEnd);
      it = held.erase(it);
    } else {
      ++it;
    }
  }
}

void InhibitingLogind::EmitPending() {
  std::vector<bool> signals;
  {
    std::lock_guard<std::mutex> lock(mutex);
    signals.swap(pendingSignals);
    // Listed before it leaves, so the engine's reaction always comes after it.
    for (const bool start : signals) {
      RecordLocked(start ? "PrepareForSleep(true)" : "PrepareForSleep(false)");
    }
  }
  for (const bool start : signals) {
    sd_bus_emit_signal(connection, kPath, kManager, "PrepareForSleep", "b", start ? 1 : 0);
  }
  sd_bus_flush(connection);
}

int InhibitingLogind::OnCall(sd_bus_message* message, void* self, sd_bus_error*) {
  return static_cast<InhibitingLogind*>(self)->Answer(message);
}

int InhibitingLogind::Answer(sd_bus_message* message) {
  if (!sd_bus_message_is_method_call(message, kManager, "Inhibit")) return 0;
  // A release made before this call was sent is listed before it, even when the call is read in
  // the same round of the loop.
  CheckReleases();
  const char* what = nullptr;
  const char* who = nullptr;
  const char* why = nullptr;
  const char* mode = nullptr;
  if (sd_bus_message_read(message, "ssss", &what, &who, &why, &mode) < 0) {
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS, "malformed");
  }
  if (std::string_view(who).empty() || std::string_view(why).empty()) {
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS, "who and why needed");
  }
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_NO_MEMORY, "no pipe");
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    held.push_back({ends[0], ++handedOut});
    RecordLocked(std::string("Inhibit ") + what + " " + mode + " #" + std::to_string(handedOut));
  }
  // The reply carries a copy of the write end; logind keeps only the read end.
  const int r = sd_bus_reply_method_return(message, "h", ends[1]);
  ::close(ends[1]);
  return r < 0 ? r : 1;
}

}  // namespace platform_test
