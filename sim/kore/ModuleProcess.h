// The module program kore-sim starts: a child process whose standard output
// goes through a pseudo-terminal (so the module's C library flushes it line
// by line, as it would on a console) and whose standard error goes through a
// pipe. kore-sim reads both without blocking and forwards whole lines.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kore {

class ModuleProcess {
 public:
  // Called with ("stdout" or "stderr", line) for every complete line.
  using LineSink = std::function<void(const char* stream, const std::string& line)>;

  ModuleProcess() = default;
  ~ModuleProcess();
  ModuleProcess(const ModuleProcess&) = delete;
  ModuleProcess& operator=(const ModuleProcess&) = delete;

  // Starts `argv` (argv[0] is the path). The child gets SIGTERM when
  // kore-sim dies. False (and `error` set) when it cannot be started.
  bool Start(const std::vector<std::string>& argv, std::string* error);

  pid_t Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0 && !m_exited; }

  // Descriptors to watch for output (-1 when closed).
  int StdoutFd() const { return m_outFd; }
  int StderrFd() const { return m_errFd; }

  // Reads what is available on the two descriptors and hands complete lines
  // to `sink`; at end of stream the last partial line is handed on too.
  void Drain(const LineSink& sink);

  // Reaps the child if it has ended; true when it ended by this call.
  // `status` receives the wait status.
  bool Poll(int* status);

  // SIGTERM, then SIGKILL after `graceMs`; reaps the child and drains its
  // output. Returns the wait status (or -1 when nothing ran).
  int Stop(int graceMs, const LineSink& sink);

 private:
  void ReadFd(int& fd, std::string& pending, const char* stream, const LineSink& sink);

  pid_t m_pid = -1;
  bool m_exited = false;
  int m_outFd = -1;
  int m_errFd = -1;
  std::string m_outPending;
  std::string m_errPending;
};

}  // namespace kore
