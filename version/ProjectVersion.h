// The version of this build, shared by every program's --version.
#pragma once

// "0.1.0" or "0.1.0 (git 9a4babd-dirty)" when built from a git checkout:
// the project version, then `git describe` of the sources when there is one.
const char* ProjectVersion();

// Prints "<program> <version>" and the licence line to standard output, the
// form help2man reads.
void PrintProjectVersion(const char* program);
