// The isolation the integration tests rely on: a private, empty /dev/shm, a
// private pid namespace, loopback up and a fresh working directory.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "support/isolation.h"
#include "support/process.h"

using namespace test_support;

TEST(Harness, RunsInFreshNamespacesAndWorkDir) {
  EXPECT_EQ(getpid(), 1);
  DIR* shm = opendir("/dev/shm");
  ASSERT_NE(shm, nullptr);
  int entries = 0;
  while (dirent* e = readdir(shm)) {
    if (e->d_name[0] != '.') ++entries;
  }
  closedir(shm);
  EXPECT_EQ(entries, 0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(std::string(cwd), IsolatedWorkDir());
}

TEST(Harness, LoopbackWorksAndLowPortsAreFree) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(502);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(fd, 1), 0);
  close(fd);
}

TEST(Harness, ChildProcessOutputAndExit) {
  auto child = ChildProcess::Start({"/bin/sh", "-c", "echo hello; echo oops >&2; exit 3"}, "sh");
  ASSERT_NE(child, nullptr);
  int status = 0;
  ASSERT_TRUE(child->WaitExit(&status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(child->Stdout(), "hello\n");
  EXPECT_EQ(child->Stderr(), "oops\n");
}
