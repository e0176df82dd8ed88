#include "support/isolation.h"

#include <fcntl.h>
#include <ftw.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

// LeakSanitizer's interface, present only in sanitizer builds.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace test_support {
namespace {

std::string g_workDir;

bool WriteFile(const char* path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

bool BringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  close(fd);
  return ok;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void Fail(const char* what) {
  std::fprintf(stderr, "[isolation] %s failed: %s\n", what, std::strerror(errno));
}

}  // namespace

const std::string& IsolatedWorkDir() {
  return g_workDir;
}

int RunIsolated(const std::function<int()>& body) {
  const char* off = std::getenv("TEST_NO_ISOLATION");
  if (off != nullptr && std::string(off) == "1") return body();

  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  int flags = CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWPID;
  if (uid != 0) flags |= CLONE_NEWUSER;
  if (unshare(flags) != 0) {
    Fail("unshare (tests need root or unprivileged user namespaces)");
    return 1;
  }
  if (uid != 0) {
    WriteFile("/proc/self/setgroups", "deny");
    WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail("making / private");
    return 1;
  }
  if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    Fail("mounting a fresh /dev/shm");
    return 1;
  }
  if (!BringLoopbackUp()) {
    Fail("bringing lo up");
    return 1;
  }

  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    Fail("fork");
    return 1;
  }
  if (child == 0) {
    // pid 1 of the new pid namespace: everything started below dies with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    char tmpl[] = "/tmp/itest.XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0) {
      Fail("making the working directory");
      _exit(1);
    }
    g_workDir = tmpl;
    int rc = body();
    std::fflush(nullptr);
    const char* keep = std::getenv("TEST_KEEP_WORKDIR");
    if (keep == nullptr || std::string(keep) != "1") {
      if (chdir("/") == 0) nftw(tmpl, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    } else {
      std::fprintf(stderr, "[isolation] working directory kept: %s\n", tmpl);
    }
    // _exit skips LeakSanitizer's exit check: run it here, where the pid
    // namespace is alive (it needs to start a tracer process).
    if (&__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
      _exit(rc != 0 ? rc : 23);
    _exit(rc);
  }

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      Fail("waitpid");
      return 1;
    }
  }
  int rc = 1;
  if (WIFEXITED(status)) rc = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "[isolation] test process ended by signal %d\n", WTERMSIG(status));
    rc = 128 + WTERMSIG(status);
  }
  // The pid namespace died with the child: this process can start no new
  // process, and LeakSanitizer's exit check (which starts one) would fail.
  // The child has done the check; this process only waited.
  if (&__lsan_do_recoverable_leak_check != nullptr) {
    std::fflush(nullptr);
    _exit(rc);
  }
  return rc;
}

}  // namespace test_support
