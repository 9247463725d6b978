#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/posix/error.h"
#include "platform/posix/unique_fd.h"
#include "platform/service_host.h"

namespace platform {

void CheckDirectoryWritable(const std::string& directory) {
  std::string probe = directory + "/.write-probe-XXXXXX";
  std::vector<char> name(probe.begin(), probe.end());
  name.push_back('\0');
  const posix::UniqueFd probeFile(
      posix::ThrowIfFailed(::mkostemp(name.data(), O_CLOEXEC), "create a file in", directory));
  ::unlink(name.data());
}

}  // namespace platform
