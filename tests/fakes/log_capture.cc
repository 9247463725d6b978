#include "tests/fakes/log_capture.h"

#include <algorithm>

namespace keystone::testing {

std::shared_ptr<LogCapture> LogCapture::Install() {
  auto capture = std::make_shared<LogCapture>();
  capture->previous = mfab::SetLogBackend(capture);
  return capture;
}

void LogCapture::Uninstall() { mfab::SetLogBackend(previous); }

bool LogCapture::Contains(const std::string& fragment) const {
  return CountIf([&](const std::string& m) { return m.find(fragment) != std::string::npos; }) > 0;
}

size_t LogCapture::Count(const std::string& message) const {
  return CountIf([&](const std::string& m) { return m == message; });
}

size_t LogCapture::CountIf(const std::function<bool(const std::string&)>& match) const {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<size_t>(std::count_if(
      entries.begin(), entries.end(), [&](const Entry& e) { return match(e.record.message); }));
}

}  // namespace keystone::testing
