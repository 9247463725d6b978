#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix/error.h"

namespace platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid())) return pw->pw_dir;
  return "/tmp";
}

}  // namespace

std::string StateDirectory() {
  if (std::string dir = Env("KEYSTONE_STATE_DIR"); !dir.empty()) return dir;
  if (::geteuid() == 0) return "/var/lib/ostra-keystone";
  if (std::string xdg = Env("XDG_STATE_HOME"); !xdg.empty()) return xdg + "/ostra-keystone";
  return HomeDirectory() + "/.local/state/ostra-keystone";
}

unsigned StateDirectoryMode() { return ::geteuid() == 0 ? 0755 : 0700; }

std::string RuntimeDirectory() {
  if (std::string dir = Env("KEYSTONE_RUNTIME_DIR"); !dir.empty()) return dir;
  if (::geteuid() == 0) return "/run/ostra-keystone";
  if (std::string xdg = Env("XDG_RUNTIME_DIR"); !xdg.empty()) return xdg + "/ostra-keystone";
  return "/tmp/ostra-keystone-" + std::to_string(::getuid());
}

std::string ClientRuntimeDirectory() {
  if (std::string dir = Env("KEYSTONE_RUNTIME_DIR"); !dir.empty()) return dir;
  return "/run/ostra-keystone";
}

void CreateDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return;
  std::string::size_type pos = 0;
  do {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) {
      // The umask may have taken bits away; the mode is meant as given.
      posix::ThrowIfFailed(::chmod(prefix.c_str(), static_cast<mode_t>(mode)), "chmod", prefix);
    } else if (errno != EEXIST) {
      posix::ThrowErrno("mkdir", prefix);
    }
  } while (pos != std::string::npos);
  struct stat st {};
  posix::ThrowIfFailed(::stat(path.c_str(), &st), "stat", path);
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    posix::ThrowErrno("mkdir", path);
  }
}

}  // namespace platform
