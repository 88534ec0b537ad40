#include "ChildProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      const std::function<bool(const std::string&)>& onOutLine, int limitMs) {
  TChildResult result;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  const auto start = std::chrono::steady_clock::now();
  bool interrupted = false, killed = false;
  std::string pendingLine;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > limitMs && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? result.Out : result.Err).append(buffer, static_cast<std::size_t>(n));
      if (i != 0 || !onOutLine) continue;
      pendingLine.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pendingLine.find('\n')) != std::string::npos;) {
        const std::string line = pendingLine.substr(0, end);
        pendingLine.erase(0, end + 1);
        if (!interrupted && onOutLine(line)) {
          kill(pid, SIGINT);
          interrupted = true;
        }
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && !killed) result.ExitCode = WEXITSTATUS(status);
  return result;
}
