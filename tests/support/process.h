// Starting and watching real processes from tests: output goes to files in
// the working directory, and every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test_support {

using namespace std::chrono_literals;

// Polls `condition` every few milliseconds until it holds or `timeout`
// passes; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// A child process whose standard output and error are written to files.
// The destructor kills (SIGKILL) and reaps it if it is still running.
class ChildProcess {
 public:
  // Starts argv[0] (a path) with the given arguments. `name` names the
  // output files: <name>.out and <name>.err in the working directory.
  // Returns null when the program cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                             const std::string& name);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  std::string Stdout() const { return ReadFile(m_outPath); }
  std::string Stderr() const { return ReadFile(m_errPath); }

  // True once `needle` appears in standard output (or error, if asked).
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout = 10s,
                     bool inStderr = false) const;

  // Sends a signal; no effect once the process has been reaped.
  void Signal(int sig) const;

  // Waits for the process to end; true and its wait status when it ended in
  // time. Reaps it.
  bool WaitExit(int* status, std::chrono::milliseconds timeout = 10s);

  // False once the process has ended (it is then reaped).
  bool Running();

 private:
  ChildProcess() = default;
  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_status = 0;
  std::string m_outPath;
  std::string m_errPath;
};

}  // namespace test_support
