// GoogleTest main for tests that use the system's global names: each test
// process runs in its own namespaces and working directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/isolation.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  return test_support::RunIsolated([] { return RUN_ALL_TESTS(); });
}
