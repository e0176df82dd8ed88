#include "modbus_tcp_slave.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ProjectVersion.h"
#include "RegisterMap.h"

namespace VeloFramework {

// Buffer of the two image messages, cleared and reused every cycle so the
// cycle allocates nothing.
MessageData msgData;

namespace {

constexpr int kModbusPort = 502;
// Connections the kernel completes before the module accepts them. Clients
// beyond it have their connection attempt dropped and retried a second or
// more later, so a burst of masters connecting at once would trickle in.
constexpr int kListenBacklog = 128;
constexpr long kSelectTimeoutUsec = 100000;
// Accepts per cycle at most (the listen backlog bounds them anyway).
constexpr int kMaxAcceptsPerCycle = 1024;

// Modbus function codes the module looks at before the library answers.
constexpr uint8_t kFcWriteSingleCoil = 5;
constexpr uint8_t kFcWriteSingleRegister = 6;
constexpr uint8_t kFcReadExceptionStatus = 7;
constexpr uint8_t kFcWriteMultipleCoils = 15;
constexpr uint8_t kFcWriteMultipleRegisters = 16;
constexpr uint8_t kFcReportSlaveId = 17;
constexpr uint8_t kFcMaskWriteRegister = 22;
constexpr uint8_t kFcWriteAndReadRegisters = 23;

// The MBAP length (unit identifier and PDU) that a request of the frame's
// function must carry, from its function code and, for the functions with
// a byte count, that count; 0 for a function the library does not serve.
// `frame` holds `length` bytes, at least the 8 of header and function code.
size_t ExpectedMbapLength(const uint8_t* frame, size_t length) {
  switch (frame[7]) {
    case 1:  // read coils
    case 2:  // read discrete inputs
    case 3:  // read holding registers
    case 4:  // read input registers
    case kFcWriteSingleCoil:
    case kFcWriteSingleRegister:
      return 6;  // unit, function, address, quantity or value
    case kFcReadExceptionStatus:
    case kFcReportSlaveId:
      return 2;  // unit, function
    case kFcMaskWriteRegister:
      return 8;  // unit, function, address, AND mask, OR mask
    case kFcWriteMultipleCoils:
    case kFcWriteMultipleRegisters:
      // unit, function, address, quantity, byte count, bytes
      return length > 12 ? 7 + frame[12] : 7;
    case kFcWriteAndReadRegisters:
      // unit, function, read address and quantity, write address and
      // quantity, byte count, bytes
      return length > 16 ? 11 + frame[16] : 11;
    default:
      return 0;
  }
}

void PutLine(const char* text) {
  std::puts(text);
  std::fflush(stdout);
}

}  // namespace

CModbusTcpSlave::CModbusTcpSlave()
    : m_nFdMax(-1),
      m_nServerSocket(-1),
      m_pModbusCtx(nullptr),
      m_pModbusMapping(nullptr),
      m_monitoringData(),
      m_bStarted(false),
      m_nClientCount(0),
      m_nSpareFd(-1),
      m_clientFrames() {
  FD_ZERO(&m_refSet);
  StartService();
  Response(EN_REQ_MODULE_MANAGER_LOAD, m_bStarted ? EN_RET_STATUS_SUCCESS : EN_RET_STATUS_FAILED);
}

CModbusTcpSlave::~CModbusTcpSlave() {
  ReleaseService();
}

void CModbusTcpSlave::ReleaseService() {
  m_bStarted = false;
  for (int fd = 0; fd <= m_nFdMax; ++fd) {
    if (fd != m_nServerSocket && FD_ISSET(fd, &m_refSet)) close(fd);
  }
  FD_ZERO(&m_refSet);
  m_nClientCount = 0;
  m_clientFrames.clear();
  if (m_nServerSocket >= 0) close(m_nServerSocket);
  m_nServerSocket = -1;
  if (m_nSpareFd >= 0) close(m_nSpareFd);
  m_nSpareFd = -1;
  m_nFdMax = -1;
  if (m_pModbusCtx != nullptr) {
    // The context only ever holds a borrowed client descriptor; those are
    // closed above, so it must not close one again.
    modbus_set_socket(m_pModbusCtx, -1);
    modbus_close(m_pModbusCtx);
    modbus_free(m_pModbusCtx);
    m_pModbusCtx = nullptr;
  }
  if (m_pModbusMapping != nullptr) {
    modbus_mapping_free(m_pModbusMapping);
    m_pModbusMapping = nullptr;
  }
}

void CModbusTcpSlave::DebugLog(const char* fmt, ...) {
  std::fputs("[Modbus process] ", stdout);
  va_list args;
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void CModbusTcpSlave::StartService() {
  if (m_bStarted) return;

  MonitoringData* record = nullptr;
  GetMonitoringData(&record);
  if (record == nullptr || record == MAP_FAILED) {
    DebugLog("failed map monitoring data");
    return;
  }
  m_pMonitoringDataPointerMember = record;

  m_pModbusCtx = modbus_new_tcp(nullptr, kModbusPort);
  if (m_pModbusCtx == nullptr) {
    DebugLog("failed create modbus context");
    return;
  }
  modbus_set_response_timeout(m_pModbusCtx, 0, kExceptionPauseUsec);

  m_pModbusMapping = modbus_mapping_new_start_address(0, ModbusMap::kCoilCount, 0, 0, 0,
                                                      ModbusMap::kRegisterCount, 0, 0);
  if (m_pModbusMapping == nullptr) {
    DebugLog("failed create modbus mapping: %s", modbus_strerror(errno));
    ReleaseService();
    return;
  }

  UpdateMonitoringData(m_monitoringData);
  DebugLog("modbus_mapping_new_start_address success!");

  ModbusMap::WriteInitialImage(m_monitoringData, *m_pModbusMapping);
  DebugLog("Init register success!");

  const int server = modbus_tcp_listen(m_pModbusCtx, kListenBacklog);
  if (server < 0) {
    DebugLog("failed listen on port %d: %s", kModbusPort, modbus_strerror(errno));
    ReleaseService();
    return;
  }
  if (server >= FD_SETSIZE) {
    DebugLog("failed listen on port %d: descriptor %d cannot be watched", kModbusPort, server);
    close(server);
    ReleaseService();
    return;
  }
  // Accepting until the backlog is empty must not wait for the next client.
  const int flags = fcntl(server, F_GETFL);
  if (flags == -1 || fcntl(server, F_SETFL, flags | O_NONBLOCK) == -1) {
    DebugLog("failed listen on port %d: %s", kModbusPort, std::strerror(errno));
    close(server);
    ReleaseService();
    return;
  }
  m_nServerSocket = server;
  m_nFdMax = server;
  m_nSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  DebugLog("modbus_tcp_listen Success!");
  DebugLog("MODBUS Tcp Slave: Start Loop !");

  FD_ZERO(&m_refSet);
  FD_SET(m_nServerSocket, &m_refSet);
  m_bStarted = true;
}

void CModbusTcpSlave::StopService() {}

void CModbusTcpSlave::UpdateReadModbusMappingData() {
  if (m_pModbusMapping == nullptr) return;
  ModbusMap::RefreshTables(m_monitoringData, *m_pModbusMapping);
}

void CModbusTcpSlave::RunningService() {
  if (!m_bStarted) return;

  fd_set ready = m_refSet;
  // Requests already taken off the queue are handled one per cycle; while
  // some wait, the cycle does not idle in select.
  timeval timeout{0, BacklogSize() > 0 ? 0 : kSelectTimeoutUsec};

  UpdateMonitoringData(m_monitoringData);
  UpdateReadModbusMappingData();

  std::memset(&msgData, 0, sizeof(msgData));
  std::memcpy(msgData.chMsgData, m_pModbusMapping->tab_bits, ModbusMap::kCoilCount);
  msgData.nMsgLength = ModbusMap::kCoilCount;
  SendImageToKORE(kModbusCoilImageEvent, &msgData);

  std::memset(&msgData, 0, sizeof(msgData));
  for (int r = 0; r < ModbusMap::kRegisterCount; ++r) {
    const uint16_t value = m_pModbusMapping->tab_registers[r];
    msgData.chMsgData[2 * r] = static_cast<char>(value & 0xFF);
    msgData.chMsgData[2 * r + 1] = static_cast<char>(value >> 8);
  }
  msgData.nMsgLength = 2 * ModbusMap::kRegisterCount;
  SendImageToKORE(kModbusRegisterImageEvent, &msgData);

  const int readyCount = select(m_nFdMax + 1, &ready, nullptr, nullptr, &timeout);
  if (readyCount == -1) {
    // The set no longer tells which descriptors are ready; the cycle ends
    // here (every read is non-blocking, but nothing is known to be ready).
    PutLine("fail");
    DropStalledClients();
    return;
  }
  for (int i = 0; readyCount > 0 && i <= m_nFdMax; ++i) {
    if (!FD_ISSET(i, &ready)) continue;
    if (i == m_nServerSocket) {
      AcceptClients();
    } else if (FD_ISSET(i, &m_refSet) && !ServeClient(i)) {
      DropClient(i);
    }
  }
  DropStalledClients();
}

void CModbusTcpSlave::AcceptClients() {
  // Every connection waiting in the backlog, not one per cycle.
  for (int n = 0; n < kMaxAcceptsPerCycle; ++n) {
    const int fd = accept4(m_nServerSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd == -1) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if ((errno == EMFILE || errno == ENFILE) && RefuseWithSpareDescriptor()) continue;
      return;  // none left (EAGAIN), or nothing more can be done this cycle
    }
    // A descriptor beyond the select set's range cannot be watched (and
    // libmodbus would write past an fd_set with it), so the client is refused.
    if (fd >= FD_SETSIZE) {
      DebugLog("client refused: descriptor %d is beyond the watchable range", fd);
      close(fd);
      continue;
    }
    FD_SET(fd, &m_refSet);
    if (fd > m_nFdMax) m_nFdMax = fd;
    ++m_nClientCount;
    m_clientFrames[fd].length = 0;
    std::printf("client : %d\n", fd);
    std::fflush(stdout);
  }
}

bool CModbusTcpSlave::RefuseWithSpareDescriptor() {
  // Out of descriptors: the waiting connection would keep the listening
  // socket ready and the loop spinning, and its client waiting. The spare
  // descriptor makes room to take it off the queue and close it.
  if (m_nSpareFd < 0) return false;
  close(m_nSpareFd);
  const int fd = accept(m_nServerSocket, nullptr, nullptr);
  if (fd >= 0) {
    close(fd);
    DebugLog("client refused: out of descriptors");
  }
  m_nSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd >= 0;
}

void CModbusTcpSlave::DropClient(int fd) {
  FD_CLR(fd, &m_refSet);
  close(fd);
  --m_nClientCount;
  m_clientFrames.erase(fd);
  while (m_nFdMax > m_nServerSocket && !FD_ISSET(m_nFdMax, &m_refSet)) --m_nFdMax;
}

void CModbusTcpSlave::DropStalledClients() {
  if (m_clientFrames.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  for (auto it = m_clientFrames.begin(); it != m_clientFrames.end();) {
    if (it->second.length == 0 ||
        now - it->second.started < std::chrono::milliseconds(kFrameDeadlineMsec)) {
      ++it;
      continue;
    }
    const int fd = it->first;
    DebugLog("client %d dropped: frame incomplete after %u ms (%zu bytes)", fd, kFrameDeadlineMsec,
             it->second.length);
    it = m_clientFrames.erase(it);
    DropClient(fd);
  }
}

bool CModbusTcpSlave::ServeClient(int fd) {
  ClientFrame& frame = m_clientFrames[fd];
  for (;;) {
    size_t want = kMbapHeaderBytes;
    if (frame.length >= kMbapHeaderBytes) {
      const size_t mbapLength = static_cast<size_t>((frame.data[4] << 8) | frame.data[5]);
      if (mbapLength < 2 || mbapLength > kMaxFrameBytes - 6) {
        // The length delimits frames on the stream; past a wrong one the
        // stream cannot be followed.
        DebugLog("client %d dropped: MBAP length %zu outside 2..%zu", fd, mbapLength,
                 kMaxFrameBytes - 6);
        m_clientFrames.erase(fd);
        return false;
      }
      want = 6 + mbapLength;
    }
    if (frame.length == want) break;
    // Only the bytes of this frame: the next one stays in the socket, where
    // select sees it next cycle.
    const ssize_t n = recv(fd, frame.data + frame.length, want - frame.length, MSG_DONTWAIT);
    if (n > 0) {
      if (frame.length == 0) frame.started = std::chrono::steady_clock::now();
      frame.length += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;  // more later
    PutLine(">> read fail");
    m_clientFrames.erase(fd);
    return false;
  }

  const size_t length = frame.length;
  frame.length = 0;
  if (ServeFrame(fd, frame.data, length)) return true;
  DebugLog("client %d dropped: it does not take its answers", fd);
  m_clientFrames.erase(fd);
  return false;
}

bool CModbusTcpSlave::SendException(int fd, const uint8_t* frame, uint8_t code) {
  const std::array<uint8_t, 9> answer = {
      frame[0], frame[1], 0, 0, 0, 3, frame[6], static_cast<uint8_t>(frame[7] | 0x80), code};
  return send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
         static_cast<ssize_t>(answer.size());
}

bool CModbusTcpSlave::SendServerId(int fd, const uint8_t* frame) {
  // Server id, run indicator (0xFF: running), then this product's name and
  // version rather than the Modbus library's own string.
  std::string text = std::string("modbus-slave-module ") + ProjectVersion();
  if (text.size() > 200) text.resize(200);
  const size_t byteCount = 2 + text.size();
  const size_t mbapLength = 3 + byteCount;  // unit, function, byte count, data
  std::vector<uint8_t> answer = {frame[0],
                                 frame[1],
                                 0,
                                 0,
                                 static_cast<uint8_t>(mbapLength >> 8),
                                 static_cast<uint8_t>(mbapLength & 0xFF),
                                 frame[6],
                                 kFcReportSlaveId,
                                 static_cast<uint8_t>(byteCount),
                                 frame[6],
                                 0xFF};
  answer.insert(answer.end(), text.begin(), text.end());
  return send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
         static_cast<ssize_t>(answer.size());
}

bool CModbusTcpSlave::ServeFrame(int fd, uint8_t* frame, size_t length) {
  const unsigned protocol = static_cast<unsigned>((frame[2] << 8) | frame[3]);
  if (protocol != 0) {
    DebugLog("client %d: frame with protocol identifier %u discarded", fd, protocol);
    return true;
  }
  const uint8_t function = frame[7];
  if (function >= 0x80) {
    DebugLog("client %d: frame with function code 0x%02X discarded", fd, function);
    return true;
  }
  const size_t expected = ExpectedMbapLength(frame, length);
  if (expected == 0) return SendException(fd, frame, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  if (length - 6 != expected) {
    DebugLog("client %d: function %u with MBAP length %zu, %zu expected", fd, function, length - 6,
             expected);
    return SendException(fd, frame, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  }

  ParseModbusProtocol(frame);
  if (function == kFcReportSlaveId) return SendServerId(fd, frame);
  modbus_set_socket(m_pModbusCtx, fd);
  errno = 0;
  const int rc = modbus_reply(m_pModbusCtx, frame, static_cast<int>(length), m_pModbusMapping);
  const int error = errno;
  modbus_set_socket(m_pModbusCtx, -1);
  // The socket does not block: an answer that does not fit is a client
  // that does not read. (Function 7 is not answered at all; that is no
  // failure of the client.)
  return !(rc == -1 && (error == EAGAIN || error == EWOULDBLOCK || error == EPIPE ||
                        error == ECONNRESET || error == EMBBADDATA));
}

void CModbusTcpSlave::ParseModbusProtocol(unsigned char* query) {
  const uint8_t function = query[7];
  const uint16_t address = static_cast<uint16_t>((query[8] << 8) | query[9]);
  const uint16_t value = static_cast<uint16_t>((query[10] << 8) | query[11]);

  switch (function) {
    case kFcWriteSingleCoil:
      // Only the two values the protocol defines switch an output; the
      // library refuses any other with an exception, and the robot must
      // not act on a request its master is told has failed.
      if (value == 0xFF00 || value == 0x0000) WriteSingleCoil(address, value);
      break;
    case kFcWriteSingleRegister:
      WriteSingleHoldingRegister(address, value);
      break;
    case kFcReadExceptionStatus:
      PutLine("_MODBUS_FC_READ_EXCEPTION_STATUS");
      break;
    case kFcWriteMultipleCoils:
      PutLine("_MODBUS_FC_WRITE_MULTIPLE_COILS");
      break;
    case kFcWriteMultipleRegisters:
      PutLine("_MODBUS_FC_WRITE_MULTIPLE_REGISTERS");
      break;
    case kFcReportSlaveId:
      PutLine("_MODBUS_FC_REPORT_SLAVE_ID");
      break;
    case kFcMaskWriteRegister:
      PutLine("_MODBUS_FC_MASK_WRITE_REGISTER");
      break;
    case kFcWriteAndReadRegisters:
      PutLine("_MODBUS_FC_WRITE_AND_READ_REGISTERS");
      break;
    default:
      break;
  }
}

void CModbusTcpSlave::WriteSingleHoldingRegister(uint16_t address, uint16_t value) {
  if (m_pMonitoringDataPointerMember == nullptr) return;
  const uint8_t type = value != 0 ? 1 : 0;
  switch (address) {
    case ModbusMap::kRegControlBoxOutput:
      SetControlBoxDigitalOutput(static_cast<uint16_t>(value));
      break;
    case ModbusMap::kRegAnalogInput0Type:
      SetAnalogInputType(0, type);
      break;
    case ModbusMap::kRegAnalogInput1Type:
      SetAnalogInputType(1, type);
      break;
    case ModbusMap::kRegAnalogOutput0Value:
      SetAnalogOutputValue(0, value);
      break;
    case ModbusMap::kRegAnalogOutput0Type:
      SetAnalogOutputType(0, type);
      break;
    case ModbusMap::kRegAnalogOutput1Value:
      SetAnalogOutputValue(1, value);
      break;
    case ModbusMap::kRegAnalogOutput1Type:
      SetAnalogOutputType(1, type);
      break;
    case ModbusMap::kRegToolOutput:
      SetToolDigitalOutput(static_cast<uint8_t>(value & 0xFF));
      break;
    default:
      if (address >= ModbusMap::kRegGeneralPurpose &&
          address < ModbusMap::kRegGeneralPurpose + 128) {
        SetGeneralPurpose(static_cast<uint8_t>(address), value);
        std::fflush(stdout);
      }
      break;
  }
}

void CModbusTcpSlave::WriteSingleCoil(uint16_t address, uint16_t value) {
  if (m_pMonitoringDataPointerMember == nullptr) return;
  const bool on = value != 0;
  if (address >= ModbusMap::kCoilControlBoxOutput &&
      address < ModbusMap::kCoilControlBoxOutput + 16) {
    SetControlBoxDigitalOutput(static_cast<uint8_t>(address - ModbusMap::kCoilControlBoxOutput),
                               on);
  } else if (address >= ModbusMap::kCoilToolOutput && address < ModbusMap::kCoilToolOutput + 6) {
    SetToolDigitalOutput(static_cast<uint8_t>(address - ModbusMap::kCoilToolOutput), on);
  }
}

void CModbusTcpSlave::HandleRequest(StructControlMessage& cControlMessage) {
  if (cControlMessage.nEvent != EN_REQ_MODBUS_SET_SLAVE_GPR) return;
  // Address and value are 4 bytes; a shorter record would be read as zeros
  // and switch outputs off.
  if (cControlMessage.msgData.nMsgLength < kSetRegisterPayloadLength) {
    DebugLog("request %u dropped: payload of %u bytes, %u needed", cControlMessage.nEvent,
             cControlMessage.msgData.nMsgLength, kSetRegisterPayloadLength);
    return;
  }
  const auto* payload = reinterpret_cast<const uint8_t*>(cControlMessage.msgData.chMsgData);
  const uint16_t address = static_cast<uint16_t>(payload[0] | (payload[1] << 8));
  const uint16_t value = static_cast<uint16_t>(payload[2] | (payload[3] << 8));
  std::printf("address : %d , value : %d \n", address, value);
  std::fflush(stdout);
  WriteSingleHoldingRegister(address, value);
}

uint8_t* CModbusTcpSlave::GetCoilRegAddr() {
  return m_pModbusMapping != nullptr ? m_pModbusMapping->tab_bits : nullptr;
}
uint8_t* CModbusTcpSlave::GetDiscreateRegAddr() {
  return m_pModbusMapping != nullptr ? m_pModbusMapping->tab_input_bits : nullptr;
}
uint16_t* CModbusTcpSlave::GetInputRegAddr() {
  return m_pModbusMapping != nullptr ? m_pModbusMapping->tab_input_registers : nullptr;
}
uint16_t* CModbusTcpSlave::GetHoldingRegAddr() {
  return m_pModbusMapping != nullptr ? m_pModbusMapping->tab_registers : nullptr;
}

}  // namespace VeloFramework
