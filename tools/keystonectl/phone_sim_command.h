#pragma once

#include <string>
#include <vector>

namespace keystonectl {

// `keystonectl bt sim ...`: runs the phone simulator in the foreground, or sends it one control
// request and prints the answer. args are the words after "sim". Returns an exit code.
int RunPhoneSimCommand(const std::vector<std::string>& args);

// The help text of `keystonectl bt sim`.
extern const char kPhoneSimUsage[];

}  // namespace keystonectl
