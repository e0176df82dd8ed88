// CModbusTcpSlave: the Modbus TCP slave module's service. It publishes the
// robot's monitoring record as coils and holding registers on port 502,
// turns single-coil and single-register writes into robot output requests,
// and sends its whole coil and register tables to KORE every cycle.
#pragma once

#include <modbus/modbus.h>
#include <sys/select.h>

#include <cstdint>

#include "CommunicationModuleBase.h"
#include "MessageQueue.h"
#include "ModbusSlaveContract.h"
#include "MonitoringData.h"

namespace VeloFramework {

// Pauses the single-threaded server may take on behalf of one client.
// libmodbus sleeps the response timeout before it answers a malformed
// request with an exception (then flushes the client's input), and waits up
// to the byte timeout for the rest of a frame that has begun. Both stall
// every client, so both are kept short.
// (The fuzzing build shortens the pause so it can run many inputs a second.)
#ifndef MODBUS_SLAVE_EXCEPTION_PAUSE_USEC
#define MODBUS_SLAVE_EXCEPTION_PAUSE_USEC 20000
#endif
constexpr uint32_t kExceptionPauseUsec = MODBUS_SLAVE_EXCEPTION_PAUSE_USEC;  // 20 ms
constexpr uint32_t kByteTimeoutUsec = 100000;                                // 100 ms

class CModbusTcpSlave : public CCommunicationModuleBase {
 public:
  // Starts the service (monitoring record, Modbus context, tables, listening
  // socket on port 502) and sends the load response: EN_RET_STATUS_SUCCESS
  // when everything started, EN_RET_STATUS_FAILED otherwise (IsStarted()
  // then tells the caller not to run the service loop).
  CModbusTcpSlave();
  // Closes every client and the listening socket, frees context and tables.
  ~CModbusTcpSlave() override;

  CModbusTcpSlave(const CModbusTcpSlave&) = delete;
  CModbusTcpSlave& operator=(const CModbusTcpSlave&) = delete;

  // Builds everything the cycle needs. On any failure prints the reason,
  // releases what was built and leaves IsStarted() false.
  void StartService() override;
  // One cycle: snapshot, refresh, images to KORE, then at most 100 ms in
  // select and one request per ready client. Does nothing when not started.
  void RunningService() override;
  // Nothing to stop: the server keeps serving after an unload.
  void StopService() override;

  // Applies a received request's single write to the robot before the
  // library answers it. `query` is a whole Modbus TCP frame of at least 12
  // bytes (the 260-byte receive buffer).
  void ParseModbusProtocol(unsigned char* query);

  // Register and coil writes to the robot outputs; addresses outside the
  // writable ones do nothing.
  void WriteSingleHoldingRegister(uint16_t address, uint16_t value);
  void WriteSingleCoil(uint16_t address, uint16_t value);

  // Refreshes the tables from m_monitoringData (taken by the caller).
  void UpdateReadModbusMappingData();

  // Starts of the mapping's tables (null when the tables do not exist).
  uint8_t* GetCoilRegAddr();
  uint8_t* GetDiscreateRegAddr();
  uint16_t* GetInputRegAddr();
  uint16_t* GetHoldingRegAddr();

  // Prints "[Modbus process] " + formatted text + newline, flushed.
  void DebugLog(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  // True when context, tables, monitoring record and listening socket exist.
  bool IsStarted() const { return m_bStarted; }

  // Serves one request from client descriptor `fd`: receive, apply, reply.
  // Returns false when the client failed or closed (the caller drops it).
  bool ServeClient(int fd);

  // Number of clients currently watched.
  int ClientCount() const { return m_nClientCount; }

 protected:
  void HandleRequest(StructControlMessage& cControlMessage) override;

 private:
  void AcceptClient();
  void DropClient(int fd);
  void RefuseWithSpareDescriptor();
  void ReleaseService();

  fd_set m_refSet;                     // listening socket and every client
  int m_nFdMax;                        // highest watched descriptor
  int m_nServerSocket;                 // listening socket; -1 when none
  modbus_t* m_pModbusCtx;              // null until created
  modbus_mapping_t* m_pModbusMapping;  // null until created
  MonitoringData m_monitoringData;     // snapshot of the current cycle
  bool m_bStarted;
  int m_nClientCount;
  int m_nSpareFd;  // kept open to refuse clients when descriptors run out
};

}  // namespace VeloFramework
