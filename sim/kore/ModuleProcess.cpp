#include "ModuleProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace kore {

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Opens a pseudo-terminal pair in raw mode (no "\r\n" translation, no echo).
bool OpenPty(int* master, int* slave) {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0) return false;
  if (grantpt(m) != 0 || unlockpt(m) != 0) {
    close(m);
    return false;
  }
  const char* name = ptsname(m);
  int s = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (s < 0) {
    close(m);
    return false;
  }
  termios tio;
  if (tcgetattr(s, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(s, TCSANOW, &tio);
  }
  *master = m;
  *slave = s;
  return true;
}

}  // namespace

ModuleProcess::~ModuleProcess() {
  if (Running()) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  CloseFd(m_outFd);
  CloseFd(m_errFd);
}

bool ModuleProcess::Start(const std::vector<std::string>& argv, std::string* error) {
  if (argv.empty()) {
    *error = "no program given";
    return false;
  }
  if (access(argv[0].c_str(), X_OK) != 0) {
    *error = "cannot run " + argv[0] + ": " + strerror(errno);
    return false;
  }
  int outMaster = -1, outSlave = -1;
  int errPipe[2] = {-1, -1};
  if (!OpenPty(&outMaster, &outSlave)) {
    // Without a pseudo-terminal a pipe does; the module's output then comes
    // in blocks rather than lines.
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
      *error = std::string("cannot make an output pipe: ") + strerror(errno);
      return false;
    }
    outMaster = p[0];
    outSlave = p[1];
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    *error = std::string("cannot make an error pipe: ") + strerror(errno);
    close(outMaster);
    close(outSlave);
    return false;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();

  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork failed: ") + strerror(errno);
    close(outMaster);
    close(outSlave);
    close(errPipe[0]);
    close(errPipe[1]);
    return false;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(outSlave, 1);
    dup2(errPipe[1], 2);
    // Default signal handling for the module, whatever kore-sim set up.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
  }
  close(outSlave);
  close(errPipe[1]);
  m_pid = pid;
  m_exited = false;
  m_outFd = outMaster;
  m_errFd = errPipe[0];
  fcntl(m_outFd, F_SETFL, fcntl(m_outFd, F_GETFL) | O_NONBLOCK);
  fcntl(m_errFd, F_SETFL, fcntl(m_errFd, F_GETFL) | O_NONBLOCK);
  m_outPending.clear();
  m_errPending.clear();
  return true;
}

void ModuleProcess::ReadFd(int& fd, std::string& pending, const char* stream,
                           const LineSink& sink) {
  if (fd < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      pending.append(buf, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = pending.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        sink(stream, line);
      }
      pending.erase(0, start);
      // A module that never ends its lines must not make kore-sim grow.
      if (pending.size() > 16384) {
        sink(stream, pending);
        pending.clear();
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // End of stream (EIO on a pseudo-terminal whose other side closed).
    if (!pending.empty()) sink(stream, pending);
    pending.clear();
    CloseFd(fd);
    return;
  }
}

void ModuleProcess::Drain(const LineSink& sink) {
  ReadFd(m_outFd, m_outPending, "stdout", sink);
  ReadFd(m_errFd, m_errPending, "stderr", sink);
}

bool ModuleProcess::Poll(int* status) {
  if (m_pid <= 0 || m_exited) return false;
  int st = 0;
  pid_t r = waitpid(m_pid, &st, WNOHANG);
  if (r == m_pid) {
    m_exited = true;
    if (status) *status = st;
    return true;
  }
  return false;
}

int ModuleProcess::Stop(int graceMs, const LineSink& sink) {
  if (m_pid <= 0) return -1;
  int status = 0;
  if (!m_exited) {
    kill(m_pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (!Poll(&status)) {
      Drain(sink);
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_exited = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Whatever the module wrote before it ended.
  for (int i = 0; i < 20 && (m_outFd >= 0 || m_errFd >= 0); ++i) {
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    poll(fds, 2, 10);
    Drain(sink);
  }
  CloseFd(m_outFd);
  CloseFd(m_errFd);
  return status;
}

}  // namespace kore
