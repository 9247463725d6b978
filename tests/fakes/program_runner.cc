#include "tests/fakes/program_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace keystone::testing {
namespace {

// Later changes win over earlier ones and over the test's own environment.
std::vector<std::string> Environment(const EnvChanges& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) result.emplace_back(*e);
  for (const auto& [name, value] : changes) {
    const std::string prefix = name + "=";
    std::erase_if(result, [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
    if (!value.empty()) result.push_back(prefix + value);
  }
  return result;
}

// Forks and execs with the three descriptors as standard input, output and error. Everything the
// child needs is built before the fork: the test process has threads. The program is opened
// before the fork and started from that descriptor, so a child that drops to another user runs it
// even when that user cannot reach where the checkout lives; it starts in "/", which every user
// may enter.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args, const EnvChanges& env,
            std::optional<uint32_t> uid, int in, int out, int err) {
  std::vector<std::string> argvText{path};
  argvText.insert(argvText.end(), args.begin(), args.end());
  const std::vector<std::string> envText = Environment(env);
  std::vector<char*> argv, envp;
  for (const std::string& a : argvText) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const int program = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (program < 0) throw std::runtime_error("cannot open " + path);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(program);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // The test runner's threads may block signals; the program starts clean.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0 ||
                ::chdir("/") != 0)) {
      ::_exit(126);
    }
    ::fexecve(program, argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(program);
  return pid;
}

// An unlinked temporary file: the program's input, or where its output waits to be read. A file
// rather than a pipe, so neither side can block the other.
struct TempFile {
  TempFile(const TempFile&) = delete;
  TempFile() : file(std::tmpfile()) {
    if (!file) throw std::runtime_error("tmpfile failed");
    ::fcntl(Fd(), F_SETFD, FD_CLOEXEC);
  }
  ~TempFile() { std::fclose(file); }
  int Fd() const { return ::fileno(file); }
  std::string Read() const {
    std::string text(static_cast<size_t>(::lseek(Fd(), 0, SEEK_END)), '\0');
    const ssize_t n = ::pread(Fd(), text.data(), text.size(), 0);
    text.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return text;
  }
  FILE* file;
};

}  // namespace

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const ProgramOptions& options) {
  TempFile in, out, err;
  if (::pwrite(in.Fd(), options.input.data(), options.input.size(), 0) < 0) {
    throw std::runtime_error("cannot write the input");
  }
  const pid_t pid = Spawn(path, args, options.env, options.uid, in.Fd(), out.Fd(), err.Fd());
  const int exitCode = WaitForExit(pid, options.limit);
  return {exitCode, out.Read(), err.Read()};
}

pid_t SpawnProgram(const std::string& path, const std::vector<std::string>& args,
                   const EnvChanges& env, const std::string& logPath) {
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (in < 0 || log < 0) throw std::runtime_error("cannot open " + logPath);
  const pid_t pid = Spawn(path, args, env, std::nullopt, in, log, log);
  ::close(in);
  ::close(log);
  return pid;
}

bool HelperRole(const char* role, int (*body)(const std::string& argument)) {
  const char* asked = std::getenv("KEYSTONE_TEST_ROLE");
  if (!asked || std::string(asked) != role) return false;
  int code = 98;
  try {
    const char* argument = std::getenv("KEYSTONE_TEST_ARGUMENT");
    code = body(argument ? argument : "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "helper %s: %s\n", role, e.what());
  }
  std::_Exit(code);
}

EnvChanges HelperEnv(const std::string& role, const std::string& argument) {
  return {{"KEYSTONE_TEST_ROLE", role}, {"KEYSTONE_TEST_ARGUMENT", argument}};
}

int RunHelper(const std::string& role, const std::string& argument, std::optional<uint32_t> uid) {
  return RunProgram(std::filesystem::read_symlink("/proc/self/exe"), {},
                    {.env = HelperEnv(role, argument), .uid = uid})
      .exitCode;
}

int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
  // A pidfd makes the child's end something poll can wait for until a deadline. Does not throw:
  // destructors call this.
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd entry{pidFd, POLLIN, 0};
  const bool ended = pidFd >= 0 && ::poll(&entry, 1, static_cast<int>(limit.count())) == 1;
  if (pidFd >= 0) ::close(pidFd);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string ReadFileText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::map<std::string, std::string> ReadValues(const std::string& path) {
  std::map<std::string, std::string> values;
  std::istringstream in(ReadFileText(path));
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

bool ProcessGone(const std::string& pid, std::chrono::milliseconds limit) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit;;) {
    // The state follows the command name's closing parenthesis; Z and X have ended.
    const std::string stat = ReadFileText("/proc/" + pid + "/stat");
    const size_t end = stat.rfind(')');
    if (stat.empty() || (end != std::string::npos && end + 2 < stat.size() &&
                         (stat[end + 2] == 'Z' || stat[end + 2] == 'X'))) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TempDirectory::TempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ks-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace keystone::testing
