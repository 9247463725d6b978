#include "platform/shared_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/mutex.h"
#include "platform/posix/error.h"
#include "platform/posix/verified_content.h"
#include "platform/signed_file_verifier.h"

namespace platform {
namespace {

// dlerror() is per thread and cleared by reading; an absent reason still gets a text.
std::string LoaderReason() {
  const char* reason = ::dlerror();
  return reason ? std::string(reason) : std::string("unknown reason");
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether the loader holds a library by this name: it finds an already loaded library by the
// name it was opened with before it looks at the file.
bool LoadedByName(const std::string& name) {
  void* loaded = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (loaded == nullptr) return false;
  ::dlclose(loaded);
  return true;
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& libraryPath) : path(libraryPath) {
  ::dlerror();
  handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw SharedLibraryError("cannot load library " + path + ": " + LoaderReason());
  }
}

SharedLibrary::SharedLibrary(const VerifiedFile& file) : path(file.Path()) {
  loadedFrom = ::fcntl(file.Content().Descriptor(), F_DUPFD_CLOEXEC, 3);
  if (loadedFrom < 0) {
    throw SharedLibraryError("cannot load library " + path + ": " + std::strerror(errno));
  }
  const std::string name = DescriptorPath(loadedFrom);
  if (LoadedByName(name)) {
    ::close(loadedFrom);
    throw SharedLibraryError("cannot load library " + path + ": the loader already holds " + name);
  }
  ::dlerror();
  handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const std::string reason = LoaderReason();
    ::close(loadedFrom);
    throw SharedLibraryError("cannot load library " + path + ": " + reason);
  }
}

SharedLibrary::~SharedLibrary() {
  if (handle != nullptr) ::dlclose(handle);
  if (loadedFrom < 0) return;
  // A library that stays loaded (another holder, or one the loader cannot unload) keeps its
  // name: the descriptor is left open so that no later copy is mistaken for it.
  if (!LoadedByName(DescriptorPath(loadedFrom))) ::close(loadedFrom);
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

const SharedLibrary& ResidentLibrary(const std::string& name) {
  struct Resident {
    keystone::Mutex mutex;  // Guards the member below.
    std::map<std::string, std::unique_ptr<const SharedLibrary>> loaded GUARDED_BY(mutex);
  };
  // Never destroyed: unloading at exit would strand what the libraries still hold.
  static Resident& resident = *new Resident;
  keystone::MutexLock lock(resident.mutex);
  std::unique_ptr<const SharedLibrary>& library = resident.loaded[name];
  if (!library) library = std::make_unique<const SharedLibrary>(name);
  return *library;
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
