#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace test_support {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const std::string& name) {
  if (argv.empty()) return nullptr;
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->m_outPath = name + ".out";
  child->m_errPath = name + ".err";

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int out = open(child->m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(child->m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) {
    if (out >= 0) close(out);
    if (err >= 0) close(err);
    return nullptr;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(out);
    close(err);
    return nullptr;
  }
  if (pid == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out);
  close(err);
  child->m_pid = pid;
  return child;
}

ChildProcess::~ChildProcess() {
  if (m_pid > 0 && !m_reaped) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &m_status, 0);
  }
}

bool ChildProcess::WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout,
                                 bool inStderr) const {
  return WaitUntil(
      [&] { return (inStderr ? Stderr() : Stdout()).find(needle) != std::string::npos; }, timeout);
}

void ChildProcess::Signal(int sig) const {
  if (m_pid > 0 && !m_reaped) kill(m_pid, sig);
}

bool ChildProcess::Running() {
  if (m_reaped) return false;
  int status = 0;
  pid_t r = waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid) {
    m_reaped = true;
    m_status = status;
    return false;
  }
  return true;
}

bool ChildProcess::WaitExit(int* status, std::chrono::milliseconds timeout) {
  bool ended = WaitUntil([&] { return !Running(); }, timeout);
  if (ended && status != nullptr) *status = m_status;
  return ended;
}

}  // namespace test_support
