// CModbusTcpSlave: the Modbus TCP slave module's service. It publishes the
// robot's monitoring record as coils and holding registers on port 502,
// turns single-coil and single-register writes into robot output requests,
// and sends its whole coil and register tables to KORE every cycle.
#pragma once

#include <modbus/modbus.h>
#include <sys/select.h>

#include <chrono>
#include <cstdint>
#include <unordered_map>

#include "CommunicationModuleBase.h"
#include "MessageQueue.h"
#include "ModbusSlaveContract.h"
#include "MonitoringData.h"

namespace VeloFramework {

// libmodbus pauses this long before it answers a request it finds malformed
// (a bad quantity or coil value) with an exception, and then flushes what the
// client sent after it. The pause stalls every client, and the module frames
// requests itself, so it is kept to the least the library accepts.
#ifndef MODBUS_SLAVE_EXCEPTION_PAUSE_USEC
#define MODBUS_SLAVE_EXCEPTION_PAUSE_USEC 1
#endif
constexpr uint32_t kExceptionPauseUsec = MODBUS_SLAVE_EXCEPTION_PAUSE_USEC;
// A connection whose frame has begun but is still incomplete this long
// after its first byte is dropped.
constexpr uint32_t kFrameDeadlineMsec = 500;
// Largest Modbus TCP frame: 7-byte MBAP header and a PDU of at most 253 bytes.
constexpr size_t kMaxFrameBytes = 260;
constexpr size_t kMbapHeaderBytes = 7;

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

  // Reads what client `fd` has sent without waiting and, once its frame is
  // complete, serves it (apply, reply): at most one frame per call. The
  // frame is assembled in the connection's own buffer across calls; the MBAP
  // header gives its length. Returns false when the client closed, failed,
  // sent a length outside 2..254, or does not take its answers (the caller
  // drops it); true otherwise, also while the frame is still incomplete.
  bool ServeClient(int fd);

  // Serves one whole frame received from client `fd` (frame[4..5], the MBAP
  // length, equals length - 6). Modbus TCP rules:
  //   - protocol identifier not 0: not Modbus, discarded without an answer;
  //   - function code 0x80 and above (exception codes, never a request):
  //     discarded without an answer;
  //   - a function the library does not serve: exception 01 (illegal
  //     function);
  //   - a PDU whose length differs from what its function code and byte count
  //     imply: exception 03 (illegal data value), nothing applied;
  //   - otherwise the write is applied to the robot and the library answers.
  // Returns false when the answer could not be sent (client not reading).
  // Answers function 17 (report server id) with this product's name and
  // version; false when the answer could not be sent whole.
  bool SendServerId(int fd, const uint8_t* frame);
  bool ServeFrame(int fd, uint8_t* frame, size_t length);

  // Number of clients currently watched.
  int ClientCount() const { return m_nClientCount; }

 protected:
  void HandleRequest(StructControlMessage& cControlMessage) override;

 private:
  // The frame a client connection is sending, assembled across cycles.
  struct ClientFrame {
    uint8_t data[kMaxFrameBytes];
    size_t length = 0;                              // bytes received so far
    std::chrono::steady_clock::time_point started;  // first byte of the frame
  };

  void AcceptClients();
  void DropClient(int fd);
  void DropStalledClients();
  bool RefuseWithSpareDescriptor();
  // Sends an exception answer to the frame's function, without the
  // library's pause; false when it could not be sent.
  bool SendException(int fd, const uint8_t* frame, uint8_t code);
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
  std::unordered_map<int, ClientFrame> m_clientFrames;  // by descriptor
};

}  // namespace VeloFramework
