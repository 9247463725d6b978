#pragma once

#include <string>

namespace mfab {

// The logger handed to libraries the engine loads. The engine's implementations write nothing.
class IEventLogger {
 public:
  virtual ~IEventLogger() = default;
  virtual void LogInfo(const std::string& text) = 0;
  virtual void LogWarning(const std::string& text) = 0;
  virtual void LogError(const std::string& text) = 0;
};

class EventLogger final : public IEventLogger {
 public:
  void LogInfo(const std::string&) override {}
  void LogWarning(const std::string&) override {}
  void LogError(const std::string&) override {}
};

class EmptyEventLogger final : public IEventLogger {
 public:
  void LogInfo(const std::string&) override {}
  void LogWarning(const std::string&) override {}
  void LogError(const std::string&) override {}
};

}  // namespace mfab
