#pragma once

// Faults the simulated firmware injects on request, read from the text file "faults" in its state
// directory (format in docs/applet-protocol.md). One directive per line:
//
//   status <function> <code>[*<count>|*<duration>] ...
//                                            return these statuses in turn; 0 runs the call; a
//                                            step with a duration applies to every call for that
//                                            long after the first call it met
//   hang <function> <duration>[*<count>]     the call blocks this long first (e.g. 250ms, 2s)
//   reply <kind>[*<count>]                   mangle the next replies of KILN_SendAndRecv2:
//                                            truncate | empty | garbage | drop-tag:<tag>
//   svn <n>                                  the firmware runs at security version n at least
//
// <count> is a number or "always" (default 1). '#' starts a comment.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "applet/kiln_function.h"
#include "sim/applet/state_files.h"

namespace kilnsim {

using mfab::KilnFunction;
using mfab::KilnFunctionName;
using mfab::kKilnFunctionCount;

// The function named with or without "KILN_", case-insensitively.
bool ParseKilnFunction(std::string_view name, KilnFunction& function);

enum class ReplyFault : uint8_t { kNone, kTruncate, kEmpty, kGarbage, kDropTag };

inline constexpr int64_t kAlways = -1;

struct StatusStep {
  uint32_t status = 0;
  int64_t count = 1;  // kAlways: never used up; not used when window is set
  // Above zero: the step applies to every call until this long after the first call it met.
  std::chrono::milliseconds window{0};
  std::optional<std::chrono::steady_clock::time_point> started;
};

struct FaultPlan {
  struct Hang {
    std::chrono::milliseconds duration{0};
    int64_t count = 1;
  };
  struct Reply {
    ReplyFault kind = ReplyFault::kNone;
    uint16_t tag = 0;  // kDropTag
    int64_t count = 1;
  };
  std::vector<StatusStep> statuses[kKilnFunctionCount];
  std::optional<Hang> hangs[kKilnFunctionCount];
  std::vector<Reply> replies;
  std::optional<uint32_t> svn;
  // "line N: reason" for every line that was ignored.
  std::vector<std::string> problems;
};

// Parses the fault file's text; bad lines are skipped and listed in problems.
FaultPlan ParseFaultPlan(std::string_view text);

// What one call must do.
struct CallFaults {
  std::chrono::milliseconds hang{0};
  std::optional<uint32_t> status;  // set: return it instead of running the call
  ReplyFault reply = ReplyFault::kNone;
  uint16_t dropTag = 0;
};

// The live plan of one state directory. Re-reads the file whenever it changed (which restarts
// every count); each call consumes one step of the directives that apply to it. Counts are kept per
// process. Thread-safe.
class FaultInjector {
 public:
  explicit FaultInjector(std::string faultFilePath);
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  CallFaults Next(KilnFunction function);
  std::optional<uint32_t> SvnOverride();
  // Problems of the current file not reported yet (each file version reports once).
  std::vector<std::string> TakeProblems();

 private:
  // Takes the file's current version when it changed; reads it without holding the mutex.
  void Refresh();

  const std::string path;
  keystone::Mutex mutex;
  FileStamp stamp GUARDED_BY(mutex);
  FaultPlan plan GUARDED_BY(mutex);
  // Position in each status sequence.
  size_t statusIndex[kKilnFunctionCount] GUARDED_BY(mutex) = {};
  bool problemsReported GUARDED_BY(mutex) = false;
};

}  // namespace kilnsim
