// Runs a test process in private namespaces so that tests which use the
// system's fixed global names (the control queue key file, "/mm-shared-mem",
// port 502, ...) run in parallel and never touch the machine's own objects.
#pragma once

#include <functional>
#include <string>

namespace test_support {

// Enters new IPC, network, mount and pid namespaces, mounts a fresh tmpfs on
// /dev/shm and a fresh /proc, brings `lo` up, and runs `body` in a new
// temporary working directory as pid 1 of the new pid namespace (so every
// process a test leaves behind dies with it). Returns body's result, or 1
// with a message on standard error when the namespaces cannot be made.
// Setting TEST_NO_ISOLATION=1 runs `body` directly (for debugging).
int RunIsolated(const std::function<int()>& body);

// The temporary working directory made by RunIsolated (empty outside it).
const std::string& IsolatedWorkDir();

}  // namespace test_support
