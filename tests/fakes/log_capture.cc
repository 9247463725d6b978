#include "tests/fakes/log_capture.h"

#include <algorithm>

namespace keystone::testing {

std::shared_ptr<LogCapture> LogCapture::Install() {
  auto capture = std::make_shared<LogCapture>();
  capture->previous = mfab::SetLogBackend(capture);
  return capture;
}

void LogCapture::Uninstall() { mfab::SetLogBackend(previous); }

void LogCapture::Write(mfab::LogSink sink, uint16_t eventId, const mfab::LogRecord& record) {
  std::lock_guard<std::mutex> lock(mutex);
  entries.push_back({sink, eventId, record});
}

std::vector<LogCapture::Entry> LogCapture::Entries() const {
  std::lock_guard<std::mutex> lock(mutex);
  return entries;
}

std::vector<std::string> LogCapture::Messages() const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> messages;
  for (const Entry& e : entries) messages.push_back(e.record.message);
  return messages;
}

bool LogCapture::Has(const std::string& message) const { return Count(message) > 0; }

bool LogCapture::Contains(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex);
  return std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
    return e.record.message.find(fragment) != std::string::npos;
  });
}

size_t LogCapture::Count(const std::string& message) const {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<size_t>(std::count_if(entries.begin(), entries.end(),
                                           [&](const Entry& e) { return e.record.message == message; }));
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  entries.clear();
}

}  // namespace keystone::testing
