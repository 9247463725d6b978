#include "log/logger.h"

#include <atomic>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "log/backends.h"

namespace mfab {
namespace {

// Event ids and their tracing levels, indexed by engine level (0 information .. 3 critical).
constexpr uint16_t kEventIds[] = {2012, 2011, 2010, 2009};
constexpr uint8_t kEventLevels[] = {4, 3, 2, 1};

std::mutex& BackendMutex() {
  static std::mutex mutex;
  return mutex;
}

// Held in an atomic shared pointer so that Log never takes a lock.
std::atomic<std::shared_ptr<LogBackend>>& BackendSlot() {
  static std::atomic<std::shared_ptr<LogBackend>> slot{DefaultLogBackend()};
  return slot;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

constexpr const char* kSinkNames[] = {"Engine", "BluetoothBridge", "Proximity", "ClassicBluetooth"};

}  // namespace

void EnableContext::Update(uint32_t controlCode, uint8_t level, uint64_t matchAnyKeyword,
                           uint64_t matchAllKeyword) {
  if (controlCode == kControlDisable) {
    sessionLevel = 0;
    matchAny = 0;
    matchAll = 0;
    enabled = false;
    mask = 0;
    return;
  }
  if (controlCode != kControlEnable) return;
  sessionLevel = level;
  matchAny = matchAnyKeyword;
  matchAll = matchAllKeyword;
  enabled = true;
  // Bit i stands for event 2009 + i, whose tracing level is i + 1.
  uint8_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t eventLevel = static_cast<uint8_t>(i + 1);
    const bool levelOk = level == 0 || eventLevel <= level;
    const bool keywordOk = kEventKeyword == 0 || ((kEventKeyword & matchAnyKeyword) != 0 &&
                                                  (kEventKeyword & matchAllKeyword) == matchAllKeyword);
    if (levelOk && keywordOk) bits = static_cast<uint8_t>(bits | (1u << i));
  }
  mask = bits;
}

bool EnableContext::IsEnabled(uint8_t level) const {
  if (level > kLogCritical) return false;
  const int bit = kEventLevels[level] - 1;
  return (mask.load(std::memory_order_relaxed) >> bit) & 1u;
}

AuthenticateLogger::AuthenticateLogger(LogSink sinkId, const char* provider)
    : sink(sinkId), providerName(provider) {
  // Everything is written until configuration says otherwise.
  context.Update(EnableContext::kControlEnable, 0, EnableContext::kEventKeyword, 0);
}

AuthenticateLogger::~AuthenticateLogger() = default;

void AuthenticateLogger::Log(const LogRecord& record) {
  if (record.level > kLogCritical || !context.IsEnabled(record.level)) return;
  std::shared_ptr<LogBackend> backend = BackendSlot().load();
  if (backend) backend->Write(sink, kEventIds[record.level], record);
}

AuthenticateLoggerService& AuthenticateLoggerService::Instance() {
  static AuthenticateLoggerService instance;
  return instance;
}
AuthenticateLoggerBt& AuthenticateLoggerBt::Instance() {
  static AuthenticateLoggerBt instance;
  return instance;
}
AuthenticateLoggerProx& AuthenticateLoggerProx::Instance() {
  static AuthenticateLoggerProx instance;
  return instance;
}
AuthenticateLoggerMsftBt& AuthenticateLoggerMsftBt::Instance() {
  static AuthenticateLoggerMsftBt instance;
  return instance;
}

AuthenticateLogger& LoggerFor(LogSink sink) {
  switch (sink) {
    case LogSink::kService: return AuthenticateLoggerService::Instance();
    case LogSink::kBt: return AuthenticateLoggerBt::Instance();
    case LogSink::kProx: return AuthenticateLoggerProx::Instance();
    case LogSink::kMsftBt: return AuthenticateLoggerMsftBt::Instance();
  }
  return AuthenticateLoggerService::Instance();
}

const char* LogSinkName(LogSink sink) { return kSinkNames[static_cast<int>(sink)]; }

bool ParseLogSink(std::string_view name, LogSink& sink) {
  for (int i = 0; i < kLogSinkCount; ++i) {
    if (EqualsIgnoreCase(name, kSinkNames[i])) {
      sink = static_cast<LogSink>(i);
      return true;
    }
  }
  return false;
}

void SetLogThreshold(LogSink sink, uint32_t threshold) {
  EnableContext& context = LoggerFor(sink).Context();
  if (threshold == 0) {
    context.Update(EnableContext::kControlDisable, 0, 0, 0);
  } else {
    const uint8_t level = static_cast<uint8_t>(threshold > 4 ? 4 : threshold);
    context.Update(EnableContext::kControlEnable, level, EnableContext::kEventKeyword, 0);
  }
}

uint32_t LogThreshold(LogSink sink) {
  const uint8_t mask = LoggerFor(sink).Context().EventMask();
  uint32_t threshold = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    if ((mask >> i) & 1u) threshold = i + 1;
  }
  return threshold;
}

std::shared_ptr<LogBackend> SetLogBackend(std::shared_ptr<LogBackend> backend) {
  std::lock_guard<std::mutex> lock(BackendMutex());
  if (!backend) backend = DefaultLogBackend();
  return BackendSlot().exchange(std::move(backend));
}

std::string FormatLogMessageV(const char* format, va_list args) {
  char formatBuffer[kMaxLogMessage + 1] = {};
  std::strncpy(formatBuffer, format ? format : "", kMaxLogMessage);
  char output[kMaxLogMessage + 1] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::vsnprintf(output, sizeof(output), formatBuffer, args);
#pragma GCC diagnostic pop
  return std::string(output);
}

std::string FormatLogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = FormatLogMessageV(format, args);
  va_end(args);
  return result;
}

// For format texts built at run time, which the compiler cannot check.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string FormatLogMessageDynamic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = FormatLogMessageV(format, args);
  va_end(args);
  return result;
}
#pragma GCC diagnostic pop

namespace {
std::atomic<uint64_t> lostRecords{0};
}  // namespace

void CountLostLogRecord() noexcept { lostRecords.fetch_add(1, std::memory_order_relaxed); }

uint64_t LostLogRecords() noexcept { return lostRecords.load(std::memory_order_relaxed); }

void WriteLog(AuthenticateLogger& sink, uint8_t level, const std::string& operation,
              std::string_view function, std::string_view file, uint32_t line,
              const std::string& message) {
  LogRecord record;
  record.level = level;
  record.message = message;
  record.operation = operation;
  // Inside the service's own namespace the namespace is dropped; anything else stays whole.
  if (function.find("mfab::") != std::string_view::npos) {
    const size_t first = function.find("::");
    record.function = std::string(function.substr(first + 2));
  } else {
    record.function = std::string(function);
  }
  const size_t slash = file.find_last_of('\\');
  record.file = std::string(slash == std::string_view::npos ? file : file.substr(slash + 1));
  record.line = std::to_string(line);
  sink.Log(record);
}

std::string QualifiedFunctionName(std::string_view pretty) {
  // Find the '(' that opens the parameter list: the first one outside template brackets.
  int depth = 0;
  size_t open = std::string_view::npos;
  for (size_t i = 0; i < pretty.size(); ++i) {
    const char c = pretty[i];
    if (c == '<') ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (c == '(' && depth == 0) {
      // "operator()" is a name, not a parameter list.
      if (i >= 8 && pretty.substr(i - 8, 8) == "operator" && i + 1 < pretty.size() &&
          pretty[i + 1] == ')') {
        ++i;
        continue;
      }
      open = i;
      break;
    }
  }
  std::string_view head = pretty.substr(0, open);
  // Drop the return type and specifiers: everything up to the last space outside brackets.
  depth = 0;
  size_t nameStart = 0;
  for (size_t i = 0; i < head.size(); ++i) {
    const char c = head[i];
    if (c == '<') ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (c == ' ' && depth == 0) nameStart = i + 1;
  }
  std::string name(head.substr(nameStart));
  while (!name.empty() && (name.front() == '*' || name.front() == '&')) name.erase(0, 1);
  // A lambda body is printed as "enclosing(params)::<lambda(...)>".
  if (open != std::string_view::npos) {
    const size_t lambda = pretty.find("::<lambda", open);
    if (lambda != std::string_view::npos) name += "::<lambda>";
  }
  return name;
}

}  // namespace mfab
