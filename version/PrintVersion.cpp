#include <cstdio>

#include "ProjectVersion.h"

void PrintProjectVersion(const char* program) {
  std::printf("%s %s\n", program, ProjectVersion());
  std::printf("Add-on software for a six-axis robot arm controller.\n");
  std::fflush(stdout);
}
