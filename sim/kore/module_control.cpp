// The module program kore-sim runs: starting it with kore-sim's pid, ending it, noticing that it
// ended.
#include <sys/wait.h>

#include <cstring>
#include <string>

#include "KoreSim.h"

using namespace VeloFramework;
using std::chrono::milliseconds;

namespace kore {

namespace {

std::string DescribeWaitStatus(int status) {
  if (WIFEXITED(status)) {
    // The module programs return -1, which the shell sees as 255.
    int code = WEXITSTATUS(status);
    return "exited with status " + std::to_string(code) + (code == 255 ? " (-1)" : "");
  }
  if (WIFSIGNALED(status)) {
    return std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "ended";
}

}  // namespace

bool KoreSim::StartModule(const std::string& requested) {
  const std::string path = requested.empty() ? m_opt.modulePath : requested;
  if (path.empty()) {
    Error("no module program given");
    return false;
  }
  if (m_module.Running()) {
    Error("a module is already running (pid " + std::to_string(m_module.Pid()) + ")");
    return false;
  }
  std::string arg = m_opt.moduleArgGiven ? m_opt.moduleArg : std::to_string(getpid());
  std::string error;
  if (!m_module.Start({path, arg}, &error)) {
    Error("cannot start module: " + error);
    return false;
  }
  size_t slash = path.find_last_of('/');
  m_moduleName = slash == std::string::npos ? path : path.substr(slash + 1);
  Log("module-started",
      "started module " + path + " " + arg + " as pid " + std::to_string(m_module.Pid()),
      JsonObject()
          .Add("path", path)
          .Add("arg", arg)
          .Add("pid", static_cast<int64_t>(m_module.Pid())));
  return true;
}

void KoreSim::StopModule() {
  if (m_module.Pid() <= 0) return;
  bool wasRunning = m_module.Running();
  pid_t pid = m_module.Pid();
  int status =
      m_module.Stop(2000, [this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
  if (wasRunning) {
    Log("module-exit", "module pid " + std::to_string(pid) + " " + DescribeWaitStatus(status),
        JsonObject()
            .Add("pid", static_cast<int64_t>(pid))
            .Add("exit_code", WIFEXITED(status) ? WEXITSTATUS(status) : -1)
            .Add("signal", WIFSIGNALED(status) ? WTERMSIG(status) : 0));
  }
}

void KoreSim::CheckModule() {
  int status = 0;
  pid_t pid = m_module.Pid();
  if (m_module.Poll(&status)) {
    m_module.Drain([this](const char* s, const std::string& l) { ForwardModuleLine(s, l); });
    Log("module-exit", "module pid " + std::to_string(pid) + " " + DescribeWaitStatus(status),
        JsonObject()
            .Add("pid", static_cast<int64_t>(pid))
            .Add("exit_code", WIFEXITED(status) ? WEXITSTATUS(status) : -1)
            .Add("signal", WIFSIGNALED(status) ? WTERMSIG(status) : 0));
  }
}

}  // namespace kore
