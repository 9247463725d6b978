#include "platform/user_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/error.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/verified_content.h"
#include "platform/signed_file_verifier.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPath = "PATH=/usr/local/bin:/usr/bin:/bin";
constexpr int kExecFailed = 127;

// The step of the start that failed in the child, reported through the error pipe.
enum ChildStep : int { kStepGroup, kStepIds, kStepDirectory, kStepExec };
constexpr const char* kStepNames[] = {"setpgid", "set the user's ids", "chdir", "fexecve"};

struct ChildReport {
  int step = 0;
  int error = 0;
};

struct Account {
  std::string name;
  std::string home;
  std::string shell;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

Account LookupAccount(uint32_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  int r = 0;
  while ((r = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (r != 0 || found == nullptr) {
    throw std::system_error(r != 0 ? r : ENOENT, std::generic_category(),
                            "no account for uid " + std::to_string(uid));
  }
  Account account{found->pw_name, found->pw_dir ? found->pw_dir : "",
                  found->pw_shell ? found->pw_shell : "", found->pw_gid, {}};
  int count = 16;
  for (;;) {
    account.groups.resize(static_cast<size_t>(count));
    const int previous = count;
    if (::getgrouplist(account.name.c_str(), account.gid, account.groups.data(), &count) >= 0) {
      account.groups.resize(static_cast<size_t>(count));
      return account;
    }
    if (count <= previous) count = previous * 2;
    if (count > NGROUPS_MAX * 4) {
      throw std::system_error(E2BIG, std::generic_category(),
                              "too many groups for uid " + std::to_string(uid));
    }
  }
}

// Waits for the ended (or killed) child and frees its entry.
void ReapChild(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
  }
}

// Everything the child needs, prepared before the fork: after it only system calls are made.
struct ChildPlan {
  std::vector<std::string> argStrings;
  std::vector<std::string> envStrings;
  std::vector<char*> argv;
  std::vector<char*> envp;
  Account account;
  uid_t uid = 0;
  bool changeIds = true;  // false when the engine already runs as the user (not root)
  int programFd = -1;
  int nullFd = -1;
  int reportFd = -1;
  pid_t parent = 0;
  int descriptorLimit = 0;

  void Seal() {
    for (std::string& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
  }
};

[[noreturn]] void Fail(const ChildPlan& plan, int step) {
  const ChildReport report{step, errno};
  [[maybe_unused]] const ssize_t ignored = ::write(plan.reportFd, &report, sizeof(report));
  ::_exit(kExecFailed);
}

// Runs in the child of a multi-threaded process: system calls only, no allocation, no locks.
[[noreturn]] void RunChild(const ChildPlan& plan) {
  if (::setpgid(0, 0) != 0) Fail(plan, kStepGroup);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
  ::dup2(plan.nullFd, STDIN_FILENO);
  ::dup2(plan.nullFd, STDOUT_FILENO);
  // The raw calls change this one thread's ids; glibc's wrappers would try to reach threads
  // that only the parent has.
  if (plan.changeIds &&
      (::syscall(SYS_setgroups, plan.account.groups.size(), plan.account.groups.data()) != 0 ||
       ::syscall(SYS_setresgid, plan.account.gid, plan.account.gid, plan.account.gid) != 0 ||
       ::syscall(SYS_setresuid, plan.uid, plan.uid, plan.uid) != 0)) {
    Fail(plan, kStepIds);
  }
  // Set after the ids changed (a change clears it); the engine may already be gone.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != plan.parent) ::_exit(kExecFailed);
  if (plan.account.home.empty() || ::chdir(plan.account.home.c_str()) != 0) {
    if (::chdir("/") != 0) Fail(plan, kStepDirectory);
  }
  // Nothing of the engine's reaches the program; the report pipe closes at the exec.
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < plan.descriptorLimit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ::fexecve(plan.programFd, plan.argv.data(), plan.envp.data());
  Fail(plan, kStepExec);
}

class PosixUserProcess final : public UserProcess {
 public:
  PosixUserProcess(pid_t child, posix::UniqueFd&& childFd, UserProcessOptions processOptions)
      : pid(child), pidfd(childFd.Release()), options(processOptions) {}
  ~PosixUserProcess() override {
    if (!reaped) Kill();
  }

  uint32_t Id() const override { return static_cast<uint32_t>(pid); }

  std::optional<ProcessExit> Wait(std::chrono::milliseconds limit) override {
    if (reaped) return outcome;
    if (!Ended(limit)) return std::nullopt;
    siginfo_t info{};
    posix::ThrowIfFailed(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT),
                         "waitid");
    // The unreaped program keeps its group id taken, so the kill cannot reach another group.
    ::kill(-pid, SIGKILL);
    Reap();
    outcome = ProcessExit{info.si_code != CLD_EXITED, info.si_status};
    return outcome;
  }

  bool Kill() override {
    if (reaped) return true;
    ::kill(-pid, SIGKILL);
    if (!Ended(options.reapLimit)) return false;
    Reap();
    return true;
  }

 private:
  // Whether the program ended within limit (not reaped yet).
  bool Ended(std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd ready{pidfd.get(), POLLIN, 0};
      const int r = ::poll(&ready, 1, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) posix::ThrowErrno("poll", "pidfd");
      if (r == 0 && Clock::now() >= deadline) return false;
    }
  }

  void Reap() {
    ReapChild(pid);
    reaped = true;
  }

  const pid_t pid;
  const posix::UniqueFd pidfd;
  const UserProcessOptions options;
  bool reaped = false;
  std::optional<ProcessExit> outcome;
};

class PosixUserProcessLauncher final : public UserProcessLauncher {
 public:
  explicit PosixUserProcessLauncher(UserProcessOptions launcherOptions)
      : options(launcherOptions) {}

  std::unique_ptr<UserProcess> Start(const VerifiedFile& program,
                                     const UserProcessRequest& request) override {
    ChildPlan plan;
    plan.account = LookupAccount(request.uid);
    plan.uid = request.uid;
    plan.changeIds = ::geteuid() != request.uid;
    const std::string& path = program.Path();
    plan.argStrings.push_back(path.substr(path.rfind('/') + 1));
    plan.argStrings.insert(plan.argStrings.end(), request.arguments.begin(),
                           request.arguments.end());
    plan.envStrings = {"HOME=" + plan.account.home, "USER=" + plan.account.name,
                       "LOGNAME=" + plan.account.name, "SHELL=" + plan.account.shell, kPath};
    plan.envStrings.insert(plan.envStrings.end(), request.environment.begin(),
                           request.environment.end());
    plan.Seal();
    plan.programFd = program.Content().Descriptor();
    posix::UniqueFd devNull(
        posix::ThrowIfFailed(::open("/dev/null", O_RDWR | O_CLOEXEC), "open", "/dev/null"));
    plan.nullFd = devNull.get();
    int pipeFds[2];
    posix::ThrowIfFailed(::pipe2(pipeFds, O_CLOEXEC), "pipe2");
    posix::UniqueFd reportRead(pipeFds[0]);
    posix::UniqueFd reportWrite(pipeFds[1]);
    plan.reportFd = reportWrite.get();
    plan.parent = ::getpid();
    rlimit limit{};
    plan.descriptorLimit = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < INT_MAX
                               ? static_cast<int>(limit.rlim_cur)
                               : 1024;

    const pid_t pid = posix::ThrowIfFailed(::fork(), "fork");
    if (pid == 0) RunChild(plan);
    reportWrite.Close();
    // Also from here, so the group exists whichever of the two runs first.
    ::setpgid(pid, pid);

    ChildReport report;
    ssize_t got = 0;
    while ((got = ::read(reportRead.get(), &report, sizeof(report))) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof(report))) {
      ReapChild(pid);
      const int step = std::clamp(report.step, 0, static_cast<int>(kStepExec));
      throw std::system_error(report.error, std::generic_category(),
                              std::string(kStepNames[step]) + ": " + path);
    }
    // Through syscall(): glibc 2.36 declares pidfd_open without C linkage.
    posix::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd.get() < 0) {
      const int error = errno;
      ::kill(-pid, SIGKILL);
      ReapChild(pid);
      throw std::system_error(error, std::generic_category(), "pidfd_open");
    }
    return std::make_unique<PosixUserProcess>(pid, std::move(pidfd), options);
  }

 private:
  const UserProcessOptions options;
};

}  // namespace

std::unique_ptr<UserProcessLauncher> CreateUserProcessLauncher(UserProcessOptions options) {
  return std::make_unique<PosixUserProcessLauncher>(options);
}

}  // namespace platform
