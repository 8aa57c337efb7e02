// Commands through /bin/sh: a child in a process group of its own, so the
// time limit kills whatever the command started too.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/host/host.h"

extern char** environ;

namespace zemb {

namespace {

void KeepTail(std::string* output, const char* data, size_t n) {
  output->append(data, n);
  if (output->size() > kShellOutputKept) output->erase(0, output->size() - kShellOutputKept);
}

}  // namespace

ShellResult RunSystemShell(const std::string& command, const ShellEnvironment& environment,
                           uint32_t timeoutMs) {
  ShellResult result;
  // Everything the child needs is made before fork: after it, in a process
  // with other threads, only async-signal-safe calls are allowed.
  std::vector<std::string> entries;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : environment) {
      replaced = replaced || entry.compare(0, name.size() + 1, name + "=") == 0;
    }
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::string("cannot start /bin/sh: ") + std::strerror(errno);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return result;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    ::execve("/bin/sh", const_cast<char* const*>(argv), envp.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here, so the group exists whoever runs first
  ::close(pipeFds[1]);
  result.started = true;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool pipeOpen = true;
  bool exited = false;
  int status = 0;
  char buffer[4096];
  for (;;) {
    if (!exited) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      exited = done == pid;
    }
    // The shell has ended and what it wrote is read: something it left
    // running in the background may hold the pipe, but is not waited for.
    if (exited && !pipeOpen) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = !exited;
      break;
    }
    if (!pipeOpen) {
      ::usleep(20000);
      continue;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, exited ? 0 : 100)));
    if (ready > 0) {
      const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
      if (n > 0) {
        KeepTail(&result.output, buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        pipeOpen = false;
      }
    } else if (exited) {
      break;  // nothing more to read now
    }
  }
  ::close(pipeFds[0]);
  if (result.timedOut) {
    // Past its time, the command goes with everything it started.
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!result.timedOut) {
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return result;
}

}  // namespace zemb
