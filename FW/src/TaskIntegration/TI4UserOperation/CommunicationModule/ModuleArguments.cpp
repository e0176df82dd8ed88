// The module programs' entry-point argument check and the KORE pid it stores.
#include <errno.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "CommunicationModuleBase.h"
#include "ModuleSupport.h"

namespace VeloFramework {

using detail::PrintLine;

pid_t CCommunicationModuleBase::m_korePID = 0;

int CheckModuleArguments(int argc, char* argv[], const char* szPrefix) {
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return -1;
  // The program name is argv[0] from its last '/' on; a name started
  // through PATH has no '/', and is then used whole so the message still
  // names the program.
  const char* slash = std::strrchr(argv[0], '/');
  std::string programName = slash != nullptr ? slash : argv[0];
  const std::string prefix = szPrefix != nullptr ? szPrefix : "";

  if (argc < 2) {
    PrintLine(prefix + programName + " FAILED [Missing parameters]");
    return -1;
  }
  const std::string argument = argv[1];
  bool valid = CCommunicationModuleBase::IsNumber(argument);
  long pid = 0;
  if (valid) {
    errno = 0;
    pid = std::strtol(argument.c_str(), nullptr, 10);
    // A pid that does not fit pid_t would be cut to another number, and 0
    // is no process: every response would go astray.
    valid = errno == 0 && pid >= 1 && pid <= INT_MAX;
  }
  if (!valid) {
    PrintLine(prefix + programName + " FAILED [Parameter 1 is invalid]");
    return -1;
  }
  CCommunicationModuleBase::UpdateKorePID(static_cast<pid_t>(pid));
  return 0;
}

void CCommunicationModuleBase::UpdateKorePID(pid_t pid) {
  m_korePID = pid;
}

pid_t CCommunicationModuleBase::GetKorePID() {
  return m_korePID;
}

bool CCommunicationModuleBase::IsNumber(const std::string& strSource) {
  if (strSource.empty()) return false;
  for (char c : strSource) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace VeloFramework
