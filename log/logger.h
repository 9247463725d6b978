#pragma once

// The engine's diagnostic log. Every record carries five fields in this order: Message,
// Operation (a component tag such as "FLOW"), Function, Line and File, and one of four levels.
// Records go to one of four sinks; each sink has its own enable state and writes through the
// process's log backend (the journal, or one line per record on stderr).

#include <atomic>
#include <concepts>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace mfab {

// Levels as passed to WriteLog; a level above kLogCritical is never written.
inline constexpr uint8_t kLogInfo = 0;
inline constexpr uint8_t kLogWarning = 1;
inline constexpr uint8_t kLogError = 2;
inline constexpr uint8_t kLogCritical = 3;

// Longest message or format kept; longer ones are cut.
inline constexpr size_t kMaxLogMessage = 1023;

struct LogRecord {
  uint8_t level = kLogInfo;
  std::string message;
  std::string operation;
  std::string function;
  std::string line;
  std::string file;
};

// The four sinks.
enum class LogSink : uint8_t { kService = 0, kBt = 1, kProx = 2, kMsftBt = 3 };
inline constexpr int kLogSinkCount = 4;

// The enable state of one sink, set by enable and disable requests and read without locking by
// Log. Mirrors a tracing session's request: a level (0 = all), two keyword masks and a flag.
class EnableContext {
 public:
  static constexpr uint64_t kEventKeyword = 0x4000000000000000ULL;
  static constexpr uint32_t kControlDisable = 0;
  static constexpr uint32_t kControlEnable = 1;

  // Applies an enable (1) or disable (0) request; other control codes change nothing.
  void Update(uint32_t controlCode, uint8_t level, uint64_t matchAnyKeyword,
              uint64_t matchAllKeyword);
  // Whether a record of this engine level (0..3) is written.
  bool IsEnabled(uint8_t level) const;
  // The bit of each event (2009, 2010, 2011, 2012 in bits 0..3).
  uint8_t EventMask() const { return mask.load(std::memory_order_relaxed); }
  uint8_t SessionLevel() const { return sessionLevel.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint8_t> sessionLevel{0};
  std::atomic<uint64_t> matchAny{0};
  std::atomic<uint64_t> matchAll{0};
  std::atomic<bool> enabled{false};
  std::atomic<uint8_t> mask{0};
};

// Where written records go. Implementations are thread-safe.
class LogBackend {
 public:
  virtual ~LogBackend() = default;
  // eventId is 2009..2012 (critical..information).
  virtual void Write(LogSink sink, uint16_t eventId, const LogRecord& record) = 0;
};

// Base of the sinks.
class AuthenticateLogger {
 public:
  AuthenticateLogger(LogSink sink, const char* providerName);
  virtual ~AuthenticateLogger();
  AuthenticateLogger(const AuthenticateLogger&) = delete;
  AuthenticateLogger& operator=(const AuthenticateLogger&) = delete;

  // Writes the record when its level maps to an event whose enable bit is set.
  virtual void Log(const LogRecord& record);

  bool IsEnabled(uint8_t level) const { return context.IsEnabled(level); }
  EnableContext& Context() { return context; }
  LogSink Sink() const { return sink; }
  const char* ProviderName() const { return providerName; }

 private:
  LogSink sink;
  const char* providerName;
  EnableContext context;
};

class AuthenticateLoggerService final : public AuthenticateLogger {
 public:
  static AuthenticateLoggerService& Instance();
  AuthenticateLoggerService() : AuthenticateLogger(LogSink::kService, "Ostra-Ostra Keystone-Engine-Service") {}
};
class AuthenticateLoggerBt final : public AuthenticateLogger {
 public:
  static AuthenticateLoggerBt& Instance();
  AuthenticateLoggerBt() : AuthenticateLogger(LogSink::kBt, "Ostra-Ostra Keystone-Engine-BtBridge") {}
};
class AuthenticateLoggerProx final : public AuthenticateLogger {
 public:
  static AuthenticateLoggerProx& Instance();
  AuthenticateLoggerProx() : AuthenticateLogger(LogSink::kProx, "Ostra-Ostra Keystone-Engine-Proximity") {}
};
class AuthenticateLoggerMsftBt final : public AuthenticateLogger {
 public:
  static AuthenticateLoggerMsftBt& Instance();
  AuthenticateLoggerMsftBt()
      : AuthenticateLogger(LogSink::kMsftBt, "Ostra-Ostra Keystone-Engine-ClassicBluetooth") {}
};

// The sink object for an id.
AuthenticateLogger& LoggerFor(LogSink sink);
// The configuration name of a sink ("Engine", "BluetoothBridge", "Proximity",
// "ClassicBluetooth"); ParseLogSink accepts them case-insensitively.
const char* LogSinkName(LogSink sink);
bool ParseLogSink(std::string_view name, LogSink& sink);

// Enables a sink up to a threshold: 0 disables it; 1 critical, 2 error, 3 warning, 4 information
// (values above 4 mean 4). Safe at any time from any thread.
void SetLogThreshold(LogSink sink, uint32_t threshold);
uint32_t LogThreshold(LogSink sink);

// Replaces the process's backend; nullptr restores the default (journal when its socket exists,
// otherwise stderr). Returns the previous one. Not meant to race with records in flight
// (install at start-up, or in a test before the code under test runs).
std::shared_ptr<LogBackend> SetLogBackend(std::shared_ptr<LogBackend> backend);
std::shared_ptr<LogBackend> DefaultLogBackend();

// printf-style formatting cut at kMaxLogMessage characters (the format too).
std::string FormatLogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatLogMessageV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// The same with the format in a string object; the arguments are not checked against it.
std::string FormatLogMessageDynamic(const char* format, ...);
template <typename Format, typename... Args>
  requires std::same_as<Format, std::string>
std::string FormatLogMessage(const Format& format, Args... args) {
  return FormatLogMessageDynamic(format.c_str(), args...);
}

// Records that could not be written (see KS_LOG), since the process started.
void CountLostLogRecord() noexcept;
uint64_t LostLogRecords() noexcept;

// Builds the record (function and file reduced as documented) and hands it to the sink.
void WriteLog(AuthenticateLogger& sink, uint8_t level, const std::string& operation,
              std::string_view function, std::string_view file, uint32_t line,
              const std::string& message);

// The qualified function name (namespaces and classes, no return type or parameters) from a
// compiler's pretty function signature; lambdas keep their enclosing function and "::<lambda>".
std::string QualifiedFunctionName(std::string_view prettyFunction);

}  // namespace mfab

// Writes one record; the message is formatted only when the sink wants the level. Never throws:
// a record that cannot be made (out of memory, a failing backend) is dropped and counted.
// KS_LOG(AuthenticateLoggerService::Instance(), mfab::kLogInfo, "FLOW", "x = %d", x);
#define KS_LOG(sink, level, operation, ...)                                                      \
  do {                                                                                           \
    try {                                                                                        \
      ::mfab::AuthenticateLogger& ks_log_sink_ = (sink);                                         \
      const uint8_t ks_log_level_ = static_cast<uint8_t>(level);                                 \
      if (ks_log_sink_.IsEnabled(ks_log_level_)) {                                               \
        ::mfab::WriteLog(ks_log_sink_, ks_log_level_, (operation),                               \
                         ::mfab::QualifiedFunctionName(__PRETTY_FUNCTION__), __FILE__, __LINE__, \
                         ::mfab::FormatLogMessage(__VA_ARGS__));                                 \
      }                                                                                          \
    } catch (...) {                                                                              \
      ::mfab::CountLostLogRecord();                                                              \
    }                                                                                            \
  } while (false)
