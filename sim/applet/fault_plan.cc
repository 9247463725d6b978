#include "sim/applet/fault_plan.h"

#include <strings.h>

#include <charconv>
#include <stdexcept>

namespace kilnsim {
namespace {

constexpr size_t kMaxFaultFile = 64 * 1024;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r')) ++pos;
    size_t end = pos;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
    if (end > pos) words.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

// Decimal, or hexadecimal with 0x.
uint64_t ParseNumber(std::string_view text, uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > max) {
    throw std::invalid_argument("bad number '" + std::string(text) + "'");
  }
  return value;
}

// How often a directive applies: a count, or for a duration.
struct Repeat {
  int64_t count = 1;
  std::chrono::milliseconds window{0};
};

std::chrono::milliseconds ParseDuration(std::string_view text);

bool EndsWithUnit(std::string_view text) {
  return !text.empty() && (text.back() == 's' || text.back() == 'S');
}

// Splits "<value>*<count>", "<value>*always" and "<value>*<duration>".
std::pair<std::string_view, Repeat> WithRepeat(std::string_view word) {
  const auto star = word.find('*');
  if (star == std::string_view::npos) return {word, Repeat{}};
  const std::string_view value = word.substr(0, star);
  const std::string_view count = word.substr(star + 1);
  if (EqualsNoCase(count, "always")) return {value, Repeat{kAlways, {}}};
  if (EndsWithUnit(count)) {
    const std::chrono::milliseconds window = ParseDuration(count);
    if (window.count() == 0) throw std::invalid_argument("duration must be at least 1 ms");
    return {value, Repeat{1, window}};
  }
  const uint64_t n = ParseNumber(count, 1'000'000);
  if (n == 0) throw std::invalid_argument("count must be at least 1");
  return {value, Repeat{static_cast<int64_t>(n), {}}};
}

// A count only: hangs and broken replies are counted, not timed.
std::pair<std::string_view, int64_t> WithCount(std::string_view word) {
  auto [value, repeat] = WithRepeat(word);
  if (repeat.window.count() > 0) throw std::invalid_argument("only status steps take a duration");
  return {value, repeat.count};
}

std::chrono::milliseconds ParseDuration(std::string_view text) {
  uint64_t scale = 1;
  if (text.size() > 2 && EqualsNoCase(text.substr(text.size() - 2), "ms")) {
    text.remove_suffix(2);
  } else if (text.size() > 1 && (text.back() == 's' || text.back() == 'S')) {
    text.remove_suffix(1);
    scale = 1000;
  }
  return std::chrono::milliseconds(ParseNumber(text, 3'600'000 / scale) * scale);
}

KilnFunction FunctionOf(std::string_view word) {
  KilnFunction function{};
  if (!ParseKilnFunction(word, function)) {
    throw std::invalid_argument("unknown function '" + std::string(word) + "'");
  }
  return function;
}

void ParseLine(const std::vector<std::string_view>& words, FaultPlan& plan) {
  const std::string_view keyword = words[0];
  if (EqualsNoCase(keyword, "status")) {
    if (words.size() < 3) throw std::invalid_argument("status needs a function and codes");
    std::vector<StatusStep> steps;
    for (size_t i = 2; i < words.size(); ++i) {
      auto [code, repeat] = WithRepeat(words[i]);
      steps.push_back(
          {static_cast<uint32_t>(ParseNumber(code, 0xFFFFFFFF)), repeat.count, repeat.window, {}});
    }
    plan.statuses[static_cast<size_t>(FunctionOf(words[1]))] = std::move(steps);
  } else if (EqualsNoCase(keyword, "hang")) {
    if (words.size() != 3) throw std::invalid_argument("hang needs a function and a duration");
    auto [duration, count] = WithCount(words[2]);
    plan.hangs[static_cast<size_t>(FunctionOf(words[1]))] =
        FaultPlan::Hang{ParseDuration(duration), count};
  } else if (EqualsNoCase(keyword, "reply")) {
    if (words.size() != 2) throw std::invalid_argument("reply needs one kind");
    auto [kind, count] = WithCount(words[1]);
    FaultPlan::Reply reply;
    reply.count = count;
    if (EqualsNoCase(kind, "truncate")) {
      reply.kind = ReplyFault::kTruncate;
    } else if (EqualsNoCase(kind, "empty")) {
      reply.kind = ReplyFault::kEmpty;
    } else if (EqualsNoCase(kind, "garbage")) {
      reply.kind = ReplyFault::kGarbage;
    } else if (kind.size() > 9 && EqualsNoCase(kind.substr(0, 9), "drop-tag:")) {
      reply.kind = ReplyFault::kDropTag;
      reply.tag = static_cast<uint16_t>(ParseNumber(kind.substr(9), 0xFFFF));
    } else {
      throw std::invalid_argument("unknown reply fault '" + std::string(kind) + "'");
    }
    plan.replies.push_back(reply);
  } else if (EqualsNoCase(keyword, "svn")) {
    if (words.size() != 2) throw std::invalid_argument("svn needs one number");
    plan.svn = static_cast<uint32_t>(ParseNumber(words[1], 0xFFFFFFFF));
  } else {
    throw std::invalid_argument("unknown directive '" + std::string(keyword) + "'");
  }
}

// Uses up one application of a counted directive; false once it is spent.
bool Consume(int64_t& count) {
  if (count == kAlways) return true;
  if (count <= 0) return false;
  --count;
  return true;
}

// Whether a status step is used up: its count spent, or its window over.
bool Spent(const StatusStep& step, std::chrono::steady_clock::time_point now) {
  if (step.window.count() > 0) return step.started && now - *step.started >= step.window;
  return step.count == 0;
}

}  // namespace

bool ParseKilnFunction(std::string_view name, KilnFunction& function) {
  if (name.size() > 5 && EqualsNoCase(name.substr(0, 5), "KILN_")) name.remove_prefix(5);
  for (size_t i = 0; i < kKilnFunctionCount; ++i) {
    if (EqualsNoCase(name, KilnFunctionName(static_cast<KilnFunction>(i)))) {
      function = static_cast<KilnFunction>(i);
      return true;
    }
  }
  return false;
}

FaultPlan ParseFaultPlan(std::string_view text) {
  FaultPlan plan;
  size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (const auto hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) continue;
    try {
      ParseLine(words, plan);
    } catch (const std::exception& error) {
      plan.problems.push_back("line " + std::to_string(lineNumber) + ": " + error.what());
    }
  }
  return plan;
}

FaultInjector::FaultInjector(std::string faultFilePath) : path(std::move(faultFilePath)) {}

void FaultInjector::Refresh() {
  const FileStamp current = StampOf(path);
  {
    keystone::MutexLock lock(mutex);
    if (current == stamp) return;
  }
  FaultPlan fresh;
  if (current.exists) {
    try {
      if (std::optional<std::string> text = ReadSmallFile(path, kMaxFaultFile))
        fresh = ParseFaultPlan(*text);
    } catch (const std::exception& error) {
      fresh.problems.push_back(std::string("unreadable: ") + error.what());
    }
  }
  keystone::MutexLock lock(mutex);
  if (current == stamp) return;  // another thread took this version first
  stamp = current;
  plan = std::move(fresh);
  for (size_t& index : statusIndex) index = 0;
  problemsReported = false;
}

CallFaults FaultInjector::Next(KilnFunction function) {
  Refresh();
  keystone::MutexLock lock(mutex);
  const size_t f = static_cast<size_t>(function);
  CallFaults faults;
  if (std::optional<FaultPlan::Hang>& hang = plan.hangs[f]; hang && Consume(hang->count)) {
    faults.hang = hang->duration;
  }
  std::vector<StatusStep>& steps = plan.statuses[f];
  size_t& index = statusIndex[f];
  const auto now = std::chrono::steady_clock::now();
  while (index < steps.size() && Spent(steps[index], now)) ++index;
  if (index < steps.size()) {
    StatusStep& step = steps[index];
    if (step.window.count() > 0) {
      if (!step.started) step.started = now;
    } else {
      Consume(step.count);
    }
    if (step.status != 0) faults.status = step.status;
  }
  // A call that fails by status produces no reply to mangle.
  if (function == KilnFunction::kSendAndRecv2 && !faults.status) {
    for (FaultPlan::Reply& reply : plan.replies) {
      if (Consume(reply.count)) {
        faults.reply = reply.kind;
        faults.dropTag = reply.tag;
        break;
      }
    }
  }
  return faults;
}

std::optional<uint32_t> FaultInjector::SvnOverride() {
  Refresh();
  keystone::MutexLock lock(mutex);
  return plan.svn;
}

std::vector<std::string> FaultInjector::TakeProblems() {
  Refresh();
  keystone::MutexLock lock(mutex);
  if (problemsReported) return {};
  problemsReported = true;
  return plan.problems;
}

}  // namespace kilnsim
