#include "platform/shared_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

#include "platform/posix/error.h"

namespace platform {
namespace {

// dlerror() is per thread and cleared by reading; an absent reason still gets a text.
std::string LoaderReason() {
  const char* reason = ::dlerror();
  return reason ? std::string(reason) : std::string("unknown reason");
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& libraryPath) : path(libraryPath) {
  ::dlerror();
  handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw SharedLibraryError("cannot load library " + path + ": " + LoaderReason());
  }
}

SharedLibrary::~SharedLibrary() {
  if (handle != nullptr) ::dlclose(handle);
}

void* SharedLibrary::Symbol(const char* name) const {
  ::dlerror();
  void* address = ::dlsym(handle, name);
  if (address == nullptr) {
    throw SharedLibraryError("library " + path + " does not export " + name + ": " +
                             LoaderReason());
  }
  return address;
}

std::string ExecutableDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t length = posix::ThrowIfFailed(
      ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1), "readlink", "/proc/self/exe");
  std::string executable(buffer.data(), static_cast<size_t>(length));
  const size_t slash = executable.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return executable.substr(0, slash);
}

}  // namespace platform
