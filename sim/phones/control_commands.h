#pragma once

// The words of `keystonectl bt sim ...` turned into the simulator's control requests
// (docs/bluetooth.md), so that the tool and its tests share one reading of them.

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace phonesim {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request line for a control command ("add", "remove", "rssi", "range", "pair", "unpair",
// "mode", "radio", "list", "stop", "raw"); throws UsageError for a command line that is wrong.
std::string ControlLine(const std::vector<std::string>& args);

// What starting a simulator takes: [--time-unit MS] [DIRECTORY]. An empty directory means the
// default one; the unit is 1 to 1280 ms (1280 when not given). Throws UsageError.
struct StartArguments {
  std::string directory;
  std::chrono::milliseconds timeUnit;
};
StartArguments ParseStartArguments(const std::vector<std::string>& args);

}  // namespace phonesim
