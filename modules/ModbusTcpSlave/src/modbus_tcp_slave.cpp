#include "modbus_tcp_slave.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "RegisterMap.h"

namespace VeloFramework {

// Buffer of the two image messages, cleared and reused every cycle so the
// cycle allocates nothing.
MessageData msgData;

namespace {

constexpr int kModbusPort = 502;
constexpr int kListenBacklog = 10;
constexpr long kSelectTimeoutUsec = 100000;

// Modbus function codes the module looks at before the library answers.
constexpr uint8_t kFcWriteSingleCoil = 5;
constexpr uint8_t kFcWriteSingleRegister = 6;
constexpr uint8_t kFcReadExceptionStatus = 7;
constexpr uint8_t kFcWriteMultipleCoils = 15;
constexpr uint8_t kFcWriteMultipleRegisters = 16;
constexpr uint8_t kFcReportSlaveId = 17;
constexpr uint8_t kFcMaskWriteRegister = 22;
constexpr uint8_t kFcWriteAndReadRegisters = 23;

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
      m_nSpareFd(-1) {
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
  modbus_set_byte_timeout(m_pModbusCtx, 0, kByteTimeoutUsec);

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
    // The set no longer tells which descriptors are ready; a receive or
    // accept on one that is not would block, so the cycle ends here.
    PutLine("fail");
    return;
  }
  if (readyCount == 0) return;

  for (int i = 0; i <= m_nFdMax; ++i) {
    if (!FD_ISSET(i, &ready)) continue;
    if (i == m_nServerSocket) {
      AcceptClient();
    } else if (FD_ISSET(i, &m_refSet) && !ServeClient(i)) {
      DropClient(i);
    }
  }
}

void CModbusTcpSlave::AcceptClient() {
  const int fd = modbus_tcp_accept(m_pModbusCtx, &m_nServerSocket);
  const int acceptError = errno;
  modbus_set_socket(m_pModbusCtx, -1);
  if (fd == -1) {
    if (acceptError == EMFILE || acceptError == ENFILE) RefuseWithSpareDescriptor();
    return;
  }
  // libmodbus puts the client into an fd_set on every receive; a descriptor
  // beyond the set's range would corrupt memory, so such a client is refused.
  if (fd >= FD_SETSIZE) {
    DebugLog("client refused: descriptor %d is beyond the watchable range", fd);
    close(fd);
    return;
  }
  FD_SET(fd, &m_refSet);
  if (fd > m_nFdMax) m_nFdMax = fd;
  ++m_nClientCount;
  std::printf("client : %d\n", fd);
  std::fflush(stdout);
}

void CModbusTcpSlave::RefuseWithSpareDescriptor() {
  // Out of descriptors: the waiting connection would keep the listening
  // socket ready and the loop spinning, and its client waiting. The spare
  // descriptor makes room to take it off the queue and close it.
  if (m_nSpareFd < 0) return;
  close(m_nSpareFd);
  const int fd = accept(m_nServerSocket, nullptr, nullptr);
  if (fd >= 0) {
    close(fd);
    DebugLog("client refused: out of descriptors");
  }
  m_nSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void CModbusTcpSlave::DropClient(int fd) {
  FD_CLR(fd, &m_refSet);
  close(fd);
  --m_nClientCount;
  while (m_nFdMax > m_nServerSocket && !FD_ISSET(m_nFdMax, &m_refSet)) --m_nFdMax;
}

bool CModbusTcpSlave::ServeClient(int fd) {
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  std::memset(query, 0, sizeof(query));
  modbus_set_socket(m_pModbusCtx, fd);
  const int rc = modbus_receive(m_pModbusCtx, query);
  if (rc <= 0) {
    modbus_set_socket(m_pModbusCtx, -1);
    PutLine(">> read fail");
    return false;
  }
  ParseModbusProtocol(query);
  modbus_reply(m_pModbusCtx, query, rc, m_pModbusMapping);
  modbus_set_socket(m_pModbusCtx, -1);
  return true;
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
