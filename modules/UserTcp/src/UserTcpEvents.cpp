// Log lines and the events sent to KORE.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "UserTcp.h"
#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

void CUserTcpServer::DebugLog(const char* szFormat, ...) {
  char text[1024];
  va_list args;
  va_start(args, szFormat);
  std::vsnprintf(text, sizeof text, szFormat, args);
  va_end(args);
  // One write per line, so lines of different threads do not mix.
  std::string line = "[USER TCP Process]     ";
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

bool CUserTcpServer::EventsAllowed(uint32_t nEvent) {
  if (StopSignal() == 0) return true;
  DebugLog("Event %u not sent: the module is stopping", nEvent);
  return false;
}

void CUserTcpServer::SendEvent(uint32_t nEvent) {
  if (!EventsAllowed(nEvent)) return;
  SendMessageToKORE(nEvent, nullptr);
}

void CUserTcpServer::SendEvent(uint32_t nEvent, uint32_t nValue) {
  if (!EventsAllowed(nEvent)) return;
  MessageData data;
  std::memset(&data, 0, sizeof data);
  data.nMsgLength = 4;
  std::memcpy(data.chMsgData, &nValue, 4);
  SendMessageToKORE(nEvent, &data);
}

}  // namespace VeloFramework
