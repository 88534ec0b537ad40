#include "ChildProcess.h"

#ifdef _WIN32
#include <windows.h>

#include <thread>
#include <utility>
#include <vector>

#include "platform/CodePage.h"

namespace {

std::wstring Wide(const std::string& cp1251) {
  const std::u16string text = Cp1251ToUtf16(cp1251);
  return std::wstring(text.begin(), text.end());
}

// One argument as the C runtime of the child splits its command line.
std::wstring Quoted(const std::string& argument) {
  std::wstring out = L"\"";
  int backslashes = 0;
  for (const wchar_t c : Wide(argument)) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(static_cast<std::size_t>(c == L'"' ? backslashes * 2 + 1 : backslashes), L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(static_cast<std::size_t>(backslashes * 2), L'\\');
  return out + L"\"";
}

void ReadAll(HANDLE pipe, std::string& into) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) into.append(buffer, n);
}

// The end of the session as the system tells it: every top-level window of
// the process is asked and then told; once the last has answered, a process
// still there is ended.
using TWindowSearch = std::pair<DWORD, std::vector<HWND>>;

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<TWindowSearch*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search.first) search.second.push_back(window);
  return TRUE;
}

void EndSession(HANDLE process, DWORD pid) {
  TWindowSearch search{pid, {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  const std::vector<HWND>& windows = search.second;
  DWORD_PTR answer = 0;
  for (HWND window : windows)
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &answer);
  for (HWND window : windows)
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &answer);
  if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 0xC000013A);
}

// Sends Ctrl+C to the process that has a console of its own: this process
// joins that console for the moment of the event (ignoring the event
// itself) and leaves it again.
bool InterruptChild(DWORD pid) {
  FreeConsole();
  if (!AttachConsole(pid)) return false;
  SetConsoleCtrlHandler(nullptr, TRUE);
  const bool sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
  FreeConsole();
  // Ignoring Ctrl+C is inherited: the next child would not see it either.
  SetConsoleCtrlHandler(nullptr, FALSE);
  return sent;
}

}  // namespace

// With an `OnLine` the child gets a console of its own, hidden, so that the
// event can reach it alone; its output still goes to the pipes.
TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      const TChildInterrupt& interrupt, int limitMs) {
  TChildResult result;
  const bool watching = static_cast<bool>(interrupt.OnLine);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) return result;
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  // The child inherits this process's environment with these set.
  for (const auto& [name, value] : environment) SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
  // Wine ends a console's processes at once, with status 0 and no event, when
  // its window closes: the program's test hook takes the console for closed
  // when this event is set.
  static int closings = 0;
  const std::string closeName =
      "vx-console-close-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++closings);
  HANDLE close = interrupt.Event == TChildInterrupt::Close ? CreateEventA(nullptr, TRUE, FALSE, closeName.c_str())
                                                           : nullptr;
  SetEnvironmentVariableA("VX_CONSOLE_CLOSE_TEST", close != nullptr ? closeName.c_str() : nullptr);
  std::wstring command = Quoted(program);
  for (const std::string& a : arguments) command += L" " + Quoted(a);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | (watching ? STARTF_USESHOWWINDOW : 0);
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(Wide(program).c_str(), command.data(), nullptr, nullptr, TRUE,
                                      watching ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr, &startup, &process);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (started) {
    bool interrupted = false;  // once, whether or not the event could be sent
    std::thread ending;        // the session's end, which waits for the process's answers
    // Reads one pipe; the watched one is offered line by line as it comes.
    auto reader = [&](HANDLE pipe, std::string& into, bool watched) {
      if (!watched) {
        ReadAll(pipe, into);
        return;
      }
      char buffer[4096];
      DWORD n = 0;
      std::size_t seen = 0;  // bytes of `into` already offered line by line
      while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        into.append(buffer, n);
        for (std::size_t end; (end = into.find('\n', seen)) != std::string::npos; seen = end + 1)
          if (!interrupted && interrupt.OnLine(into.substr(seen, end - seen))) {
            interrupted = true;
            if (interrupt.Event == TChildInterrupt::Logoff)
              ending = std::thread([&] { EndSession(process.hProcess, process.dwProcessId); });
            else if (interrupt.Event == TChildInterrupt::Close)
              (void)SetEvent(close);
            else
              (void)InterruptChild(process.dwProcessId);
          }
      }
    };
    std::thread errReader([&] { reader(errRead, result.Err, watching && interrupt.WatchErr); });
    std::thread outReader([&] { reader(outRead, result.Out, watching && !interrupt.WatchErr); });
    const bool ended = WaitForSingleObject(process.hProcess, static_cast<DWORD>(limitMs)) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 255);
    WaitForSingleObject(process.hProcess, INFINITE);
    outReader.join();
    errReader.join();
    if (ending.joinable()) ending.join();
    DWORD code = 0;
    if (ended && GetExitCodeProcess(process.hProcess, &code)) result.ExitCode = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(outRead);
  CloseHandle(errRead);
  if (close != nullptr) CloseHandle(close);
  SetEnvironmentVariableA("VX_CONSOLE_CLOSE_TEST", nullptr);
  return result;
}

#else

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      const TChildInterrupt& interrupt, int limitMs) {
  TChildResult result;
  const int watched = interrupt.WatchErr ? 1 : 0;
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
      if (i != watched || !interrupt.OnLine) continue;
      pendingLine.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pendingLine.find('\n')) != std::string::npos;) {
        const std::string line = pendingLine.substr(0, end);
        pendingLine.erase(0, end + 1);
        if (!interrupted && interrupt.OnLine(line)) {
          kill(pid, interrupt.Event == TChildInterrupt::Close    ? SIGHUP
                    : interrupt.Event == TChildInterrupt::Logoff ? SIGTERM
                                                                 : SIGINT);
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

#endif
