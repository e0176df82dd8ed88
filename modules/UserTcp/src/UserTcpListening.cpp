// The client mode's listening thread.
#include <thread>

#include "UserTcp.h"
#include "UserTcpSupport.h"

namespace VeloFramework {

using namespace usertcp;

int CUserTcpServer::ClientListening() {
  StartListenToServer();
  return 1;
}

void CUserTcpServer::StartListeningThread() {
  std::thread([this] { ClientListening(); }).detach();
}

}  // namespace VeloFramework
