// A program the engine starts on the console's desktop in tests, signed by the build. The first
// argument is the user's SID; the second says what to do:
//   exit:N          exit with status N
//   signal:N        end by signal N
//   hang            wait until killed
//   report:FILE     write how it was started (ids, process group, arguments, environment) to
//                   FILE as NAME=value lines, then exit 0
//   spawn:DIR       start a child that waits until killed, write "parent=<pid>" and
//                   "child=<pid>" lines to DIR/pids, exit 5 (the child outlives it)
//   spawn-hang:DIR  the same, but wait until killed instead of exiting

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int kUsage = 64;

[[noreturn]] void WaitForKill() {
  for (;;) ::pause();
}

void WritePids(const std::string& dir, pid_t child) {
  const std::string temporary = dir + "/pids.tmp";
  std::ofstream(temporary) << "parent=" << ::getpid() << "\nchild=" << child << "\n";
  std::rename(temporary.c_str(), (dir + "/pids").c_str());
}

int Report(const std::string& file, int argc, char** argv) {
  std::ofstream out(file);
  out << "uid=" << ::getuid() << "\ngid=" << ::getgid() << "\npid=" << ::getpid()
      << "\npgid=" << ::getpgid(0) << "\nargc=" << argc << "\n";
  for (int i = 0; i < argc; ++i) out << "arg" << i << "=" << argv[i] << "\n";
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "HOME", "USER",
                           "PATH", "KEYSTONE_STATE_DIR"}) {
    const char* value = std::getenv(name);
    out << name << "=" << (value ? value : "<unset>") << "\n";
  }
  char cwd[4096] = {};
  out << "cwd=" << (::getcwd(cwd, sizeof(cwd)) ? cwd : "?") << "\n";
  return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return kUsage;
  const std::string what = argv[2];
  const size_t colon = what.find(':');
  const std::string verb = what.substr(0, colon);
  const std::string operand = colon == std::string::npos ? "" : what.substr(colon + 1);
  if (verb == "exit") return std::atoi(operand.c_str());
  if (verb == "hang") WaitForKill();
  if (verb == "signal") {
    const int signal = std::atoi(operand.c_str());
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return kUsage;
  }
  if (verb == "report") return Report(operand, argc, argv);
  if (verb == "spawn" || verb == "spawn-hang") {
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) WaitForKill();
    WritePids(operand, child);
    if (verb == "spawn-hang") WaitForKill();
    return 5;
  }
  return kUsage;
}
