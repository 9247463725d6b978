#pragma once

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

namespace platform::posix {

// Throws std::system_error for errno with "what: subject" as context.
[[noreturn]] inline void ThrowErrno(std::string_view what, std::string_view subject = {}) {
  int code = errno;
  std::string context(what);
  if (!subject.empty()) {
    context += ": ";
    context += subject;
  }
  throw std::system_error(code, std::generic_category(), context);
}

// Returns result unless it is -1, in which case it throws with errno and context.
template <typename T>
T ThrowIfFailed(T result, std::string_view what, std::string_view subject = {}) {
  if (result == static_cast<T>(-1)) ThrowErrno(what, subject);
  return result;
}

}  // namespace platform::posix
