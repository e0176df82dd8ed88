// The module program with real peers: this test process plays KORE over the
// real control queue and monitoring record, and talks Modbus through
// libmodbus's client over TCP on port 502.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "slave_fixture.h"

using namespace modbus_test;
using test_support::WaitUntil;

namespace {

uint16_t Reg(int32_t v) {
  return static_cast<uint16_t>(v & 0xFFFF);
}

class SlaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(kore.Record(), nullptr);
    Prepare();
    ASSERT_TRUE(kore.StartModule(MODBUS_SLAVE_MODULE));
    ASSERT_TRUE(kore.WaitReady()) << kore.Module()->Stdout();
  }
  virtual void Prepare() {}

  // Writes `value` into a float array field element.
  void PutFloat(size_t field, int k, float value) { kore.Put<float>(field + 4 * k, value); }

  // Makes the module refresh from the current record: bumps the robot
  // state and waits until an image shows it.
  void Refresh() {
    const uint16_t marker = ++m_marker;
    kore.Put<uint16_t>(rec::kRobotState, marker);
    ASSERT_TRUE(kore.WaitRegisterImage(259, marker));
  }

  FakeKore kore;
  uint16_t m_marker = 1000;
};

class SlaveWithVersion : public SlaveTest {
  void Prepare() override {
    kore.Put<uint16_t>(rec::kVersion, 4);
    kore.Put<uint16_t>(rec::kVersion + 2, 2);
    kore.Put<uint16_t>(rec::kVersion + 4, 9);
    kore.Put<uint16_t>(rec::kCbOutput, 0x0101);
    kore.Put<uint8_t>(rec::kToolOutput, 0x03);
  }
};

}  // namespace

TEST_F(SlaveWithVersion, LoadResponseStartupImageAndLogLines) {
  KoreMessage load;
  ASSERT_TRUE(kore.WaitEvent(1, &load));
  EXPECT_EQ(load.source, kore.Module()->Pid());
  EXPECT_EQ(load.length, 4u);
  const std::string out = kore.Module()->Stdout();
  for (const char* line : {"[Modbus process] modbus_mapping_new_start_address success!\n",
                           "[Modbus process] Init register success!\n",
                           "[Modbus process] modbus_tcp_listen Success!\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
  Client client;
  ASSERT_TRUE(client.Connected());
  uint16_t version[3] = {};
  ASSERT_EQ(modbus_read_registers(client.Ctx(), 256, 3, version), 3);
  EXPECT_EQ(version[0], 4);
  EXPECT_EQ(version[1], 2);
  EXPECT_EQ(version[2], 9);
  ASSERT_TRUE(kore.Module()->WaitForOutput("client : "));
}

TEST_F(SlaveTest, ImagesFlowWhileNoClientTalks) {
  kore.Put<uint16_t>(rec::kCbInput, 0x0005);
  kore.Put<uint32_t>(rec::kStatus, 0x21);
  kore.Put<uint16_t>(rec::kGpr + 2 * 3, 0xBEEF);
  Refresh();
  KoreMessage coils, regs;
  ASSERT_TRUE(kore.WaitEvent(43, &coils));
  ASSERT_TRUE(kore.WaitEvent(44, &regs));
  EXPECT_EQ(coils.length, 301u);
  EXPECT_EQ(regs.length, 1202u);
  EXPECT_EQ(coils.source, kore.Module()->Pid());
  ASSERT_EQ(coils.payload.size(), 301u);
  EXPECT_EQ(coils.payload[0], 1);
  EXPECT_EQ(coils.payload[1], 0);
  EXPECT_EQ(coils.payload[2], 1);
  EXPECT_EQ(coils.payload[260], 1);
  EXPECT_EQ(coils.payload[265], 1);
  ASSERT_EQ(regs.payload.size(), 1202u);
  EXPECT_EQ(regs.payload[0], 0x05);
  EXPECT_EQ(regs.payload[1], 0x00);
  EXPECT_EQ(regs.payload[2 * 131], 0xEF);  // little-endian
  EXPECT_EQ(regs.payload[2 * 131 + 1], 0xBE);

  // An idle cycle lasts about the 100 ms select bound: several images a
  // second, far fewer than the 1 kHz of a loop without the wait.
  const size_t before = kore.Count(43);
  std::this_thread::sleep_for(1s);
  const size_t perSecond = kore.Count(43) - before;
  EXPECT_GE(perSecond, 3u);
  EXPECT_LE(perSecond, 30u);
  EXPECT_EQ(kore.Count(43), kore.Count(44));
}

TEST_F(SlaveTest, EveryConversionRuleReachesATcpClient) {
  kore.Put<uint16_t>(rec::kCbInput, 0xA001);
  kore.Put<uint16_t>(rec::kCbInputEx, 0x0009);
  kore.Put<uint8_t>(rec::kToolInput, 0x21);
  kore.Put<uint32_t>(rec::kStatus, 0x3F);
  kore.Put<float>(rec::kAnalogIn + 4, -7.9f);
  PutFloat(rec::kJointPose, 0, -12.34f);
  PutFloat(rec::kJointPose, 1, 12.25f);
  PutFloat(rec::kJointPose, 2, 3276.8f);  // 32768: beyond int16
  PutFloat(rec::kMotorCurrent, 0, -1.2345f);
  PutFloat(rec::kMotorTemperature, 0, 41.9f);
  PutFloat(rec::kMotorTorque, 0, -5.5f);
  PutFloat(rec::kMotorTorque, 1, 70000.9f);  // beyond 16 bits: 70000 wraps to 4464
  PutFloat(rec::kTaskPose, 0, 0.35f);        // single precision: 3.5f -> 4
  PutFloat(rec::kTaskVelocity, 0, -0.35f);
  PutFloat(rec::kToolOffset, 0, 0.35f);  // double: 3.4999999 -> 3
  PutFloat(rec::kExternalForce, 0, 12.7f);
  PutFloat(rec::kExternalForce, 1, -3.9f);
  Refresh();

  Client client;
  ASSERT_TRUE(client.Connected());
  uint8_t coils[48] = {};
  ASSERT_EQ(modbus_read_bits(client.Ctx(), 0, 48, coils), 48);
  EXPECT_EQ(coils[0], 1);
  EXPECT_EQ(coils[13], 1);
  EXPECT_EQ(coils[15], 1);
  EXPECT_EQ(coils[14], 0);
  EXPECT_EQ(coils[16], 1);
  EXPECT_EQ(coils[19], 1);
  EXPECT_EQ(coils[36], 1);
  EXPECT_EQ(coils[41], 1);
  uint8_t status[6] = {};
  ASSERT_EQ(modbus_read_bits(client.Ctx(), 260, 6, status), 6);
  for (int b = 0; b < 6; ++b) EXPECT_EQ(status[b], 1) << b;

  std::vector<uint16_t> regs;
  ASSERT_TRUE(client.ReadRegisters(0, 601, &regs));
  EXPECT_EQ(regs[0], 0xA001);
  EXPECT_EQ(regs[4], Reg(-7));
  EXPECT_EQ(regs[270], 0xFF85);
  EXPECT_EQ(regs[271], 123);
  EXPECT_EQ(regs[272], 32768);
  EXPECT_EQ(regs[290], Reg(-1235));
  EXPECT_EQ(regs[300], 41);
  EXPECT_EQ(regs[310], Reg(-5));
  EXPECT_EQ(regs[311], 4464);
  EXPECT_EQ(regs[400], 4);
  EXPECT_EQ(regs[410], Reg(-4));
  EXPECT_EQ(regs[420], 3);
  EXPECT_EQ(regs[430], 120);
  EXPECT_EQ(regs[431], Reg(-30));
  for (int b = 0; b < 5; ++b) EXPECT_EQ(regs[260 + b], 1);
  EXPECT_EQ(regs[265], 0);
}

TEST_F(SlaveTest, ReportServerIdNamesThisProduct) {
  Client client;
  ASSERT_TRUE(client.Connected());
  uint8_t id[256];
  const int n = modbus_report_slave_id(client.Ctx(), sizeof id, id);
  ASSERT_GT(n, 2);
  EXPECT_EQ(id[1], 0xFF);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 2, static_cast<size_t>(n - 2))
                .rfind("modbus-slave-module ", 0),
            0u);
}

TEST_F(SlaveTest, SingleWritesBecomeOutputRequests) {
  Client client;
  ASSERT_TRUE(client.Connected());

  ASSERT_EQ(modbus_write_bit(client.Ctx(), 21, 1), 1);  // 0xFF00 on the wire
  EXPECT_EQ(kore.Get<uint16_t>(rec::kCbOutput), 0x0002);
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 1u);

  kore.Put<uint32_t>(rec::kOutputCommand, 0);
  ASSERT_EQ(modbus_write_bit(client.Ctx(), 44, 1), 1);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kToolOutput), 0x04);
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 1u);
  ASSERT_EQ(modbus_write_bit(client.Ctx(), 44, 0), 1);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kToolOutput), 0x00);

  kore.Put<uint32_t>(rec::kOutputCommand, 0);
  ASSERT_EQ(modbus_write_register(client.Ctx(), 2, 0x0005), 1);
  EXPECT_EQ(kore.Get<uint16_t>(rec::kCbOutput), 0x0005);
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 1u);

  ASSERT_EQ(modbus_write_register(client.Ctx(), 17, 7), 1);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kAnalogOut), 1);
  ASSERT_EQ(modbus_write_register(client.Ctx(), 5, 9), 1);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kAnalogIn), 1);
  ASSERT_EQ(modbus_write_register(client.Ctx(), 7, 0), 1);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kAnalogIn + 8), 0);
  ASSERT_EQ(modbus_write_register(client.Ctx(), 18, 500), 1);
  EXPECT_EQ(kore.Get<float>(rec::kAnalogOut + 12), 500.0f);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kAnalogOut + 8), 0) << "the value write keeps the type";
  ASSERT_EQ(modbus_write_register(client.Ctx(), 22, 0x1234), 1);
  EXPECT_EQ(kore.Get<uint8_t>(rec::kToolOutput), 0x34);
  ASSERT_EQ(modbus_write_register(client.Ctx(), 130, 99), 1);
  EXPECT_EQ(kore.Get<uint16_t>(rec::kGpr + 4), 99);
  ASSERT_TRUE(kore.Module()->WaitForOutput(" === Writing GP-16 ==== Address = 130;;;; Value = 99"));

  // The next refresh shows the outputs in the tables.
  Refresh();
  uint8_t coils[3] = {};
  ASSERT_EQ(modbus_read_bits(client.Ctx(), 20, 3, coils), 3);
  EXPECT_EQ(coils[0], 1);
  EXPECT_EQ(coils[1], 0);
  EXPECT_EQ(coils[2], 1);
  uint16_t reg[1] = {};
  ASSERT_EQ(modbus_read_registers(client.Ctx(), 17, 1, reg), 1);
  EXPECT_EQ(reg[0], 1);
}

TEST_F(SlaveTest, WritesOutsideTheOutputsChangeNoOutput) {
  Client client;
  ASSERT_TRUE(client.Connected());
  Refresh();
  std::vector<uint8_t> before(kore.Record(), kore.Record() + rec::kSize);

  // A temperature register: stored by the library, lost at the next refresh.
  PutFloat(rec::kMotorTemperature, 0, 25.0f);
  ASSERT_EQ(modbus_write_register(client.Ctx(), 300, 777), 1);
  // Register 500 is not refreshed: it keeps what a master wrote.
  ASSERT_EQ(modbus_write_register(client.Ctx(), 500, 4242), 1);
  // Write-multiple to the outputs register: only the table changes.
  const uint16_t many[2] = {0xFFFF, 0xFFFF};
  ASSERT_EQ(modbus_write_registers(client.Ctx(), 2, 2, many), 2);
  const uint8_t bits[4] = {1, 1, 1, 1};
  ASSERT_EQ(modbus_write_bits(client.Ctx(), 20, 4, bits), 4);
  // Read-only coils.
  ASSERT_EQ(modbus_write_bit(client.Ctx(), 0, 1), 1);
  ASSERT_EQ(modbus_write_bit(client.Ctx(), 260, 1), 1);
  ASSERT_TRUE(kore.Module()->WaitForOutput("_MODBUS_FC_WRITE_MULTIPLE_REGISTERS"));
  ASSERT_TRUE(kore.Module()->WaitForOutput("_MODBUS_FC_WRITE_MULTIPLE_COILS"));

  std::vector<uint8_t> after(kore.Record(), kore.Record() + rec::kSize);
  after[rec::kMotorTemperature] = before[rec::kMotorTemperature];  // our own change
  for (size_t i = 0; i < 4; ++i)
    after[rec::kMotorTemperature + i] = before[rec::kMotorTemperature + i];
  EXPECT_EQ(after, before) << "no output was requested";
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 0u);

  Refresh();
  uint16_t r[3] = {};
  ASSERT_EQ(modbus_read_registers(client.Ctx(), 2, 2, r), 2);
  EXPECT_EQ(r[0], 0) << "the outputs register shows the outputs again";
  EXPECT_EQ(r[1], 0xFFFF) << "register 3 is never refreshed";
  ASSERT_EQ(modbus_read_registers(client.Ctx(), 300, 1, r), 1);
  EXPECT_EQ(r[0], 25);
  ASSERT_EQ(modbus_read_registers(client.Ctx(), 500, 1, r), 1);
  EXPECT_EQ(r[0], 4242);
  uint8_t c[4] = {};
  ASSERT_EQ(modbus_read_bits(client.Ctx(), 20, 4, c), 4);
  EXPECT_EQ(c[0] + c[1] + c[2] + c[3], 0);
}

TEST_F(SlaveTest, IllegalRequestsGetExceptionAnswers) {
  Client client;
  ASSERT_TRUE(client.Connected());
  uint8_t bits[8];
  uint16_t regs[8];
  errno = 0;
  EXPECT_EQ(modbus_read_bits(client.Ctx(), 300, 2, bits), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_registers(client.Ctx(), 600, 2, regs), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_register(client.Ctx(), 601, 1), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_write_bit(client.Ctx(), 301, 1), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_input_bits(client.Ctx(), 0, 1, bits), -1);
  EXPECT_EQ(errno, EMBXILADD);
  EXPECT_EQ(modbus_read_input_registers(client.Ctx(), 0, 1, regs), -1);
  EXPECT_EQ(errno, EMBXILADD);
  // The last good addresses still work on the same connection.
  EXPECT_EQ(modbus_read_bits(client.Ctx(), 300, 1, bits), 1);
  EXPECT_EQ(modbus_read_registers(client.Ctx(), 600, 1, regs), 1);
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 0u);
}

TEST_F(SlaveTest, CoilWriteWithAnInvalidValueChangesNothing) {
  // The library refuses a single-coil value other than 0xFF00 and 0x0000
  // with an exception; the robot must not act on it either.
  int fd = ConnectRaw();
  ASSERT_GE(fd, 0);
  const uint8_t frame[12] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0xFF, 0x05, 0x00, 21, 0x12, 0x34};
  ASSERT_EQ(send(fd, frame, sizeof(frame), 0), 12);
  std::vector<uint8_t> answer = ReadFrame(fd);
  ASSERT_EQ(answer.size(), 9u);
  EXPECT_EQ(answer[7], 0x85);
  EXPECT_EQ(answer[8], 0x03);  // illegal data value
  EXPECT_EQ(kore.Get<uint16_t>(rec::kCbOutput), 0);
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 0u);
  close(fd);
}

TEST_F(SlaveTest, RequestFromKoreSetsRegisterOutputs) {
  ASSERT_TRUE(kore.Send(110, {0x02, 0x00, 0x05, 0x00}));
  ASSERT_TRUE(kore.Module()->WaitForOutput("address : 2 , value : 5 \n"));
  EXPECT_TRUE(WaitUntil([&] { return kore.Get<uint16_t>(rec::kCbOutput) == 0x0005; }));
  EXPECT_EQ(kore.Get<uint32_t>(rec::kOutputCommand), 1u);

  kore.Put<uint32_t>(rec::kOutputCommand, 0);
  std::vector<uint8_t> before(kore.Record(), kore.Record() + rec::kSize);
  ASSERT_TRUE(kore.Send(110, {0x2C, 0x01, 0x07, 0x00}));  // address 300
  ASSERT_TRUE(kore.Module()->WaitForOutput("address : 300 , value : 7 \n"));
  ASSERT_TRUE(kore.Send(110, {0x82, 0x00, 0x34, 0x12}));  // then 130 = 0x1234
  ASSERT_TRUE(WaitUntil([&] { return kore.Get<uint16_t>(rec::kGpr + 4) == 0x1234; }));
  std::vector<uint8_t> after(kore.Record(), kore.Record() + rec::kSize);
  after[rec::kGpr + 4] = before[rec::kGpr + 4];
  after[rec::kGpr + 5] = before[rec::kGpr + 5];
  after[rec::kOutputCommand] = before[rec::kOutputCommand];
  EXPECT_EQ(after, before) << "address 300 changed something";

  // Other events are ignored and never answered.
  ASSERT_TRUE(kore.Send(20, {1, 2, 3, 4}));
  ASSERT_TRUE(kore.Send(2, {}));  // unload: answered, the service goes on
  KoreMessage unload;
  ASSERT_TRUE(kore.WaitEvent(2, &unload));
  uint32_t status = 99;
  std::memcpy(&status, unload.payload.data(), 4);
  EXPECT_EQ(status, 0u);
  for (const KoreMessage& m : kore.Others()) EXPECT_NE(m.event, 20u);
  Client client;
  ASSERT_TRUE(client.Connected());
  uint16_t reg = 0;
  EXPECT_EQ(modbus_read_registers(client.Ctx(), 2, 1, &reg), 1);
  EXPECT_EQ(reg, 0x0005);
}

TEST(SlaveStart, FailedStartsAnswerFailedAndEndTheProcess) {
  {
    // No monitoring record.
    FakeKore kore;
    ASSERT_EQ(shm_unlink("/mm-shared-mem"), 0);
    ASSERT_TRUE(kore.StartModule(MODBUS_SLAVE_MODULE, "no-record"));
    EXPECT_EQ(kore.WaitLoadResponse(), 1);
    int status = 0;
    ASSERT_TRUE(kore.Module()->WaitExit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
  }
  {
    // Port 502 already taken.
    FakeKore kore;
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(502);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_TRUE(kore.StartModule(MODBUS_SLAVE_MODULE, "port-taken"));
    EXPECT_EQ(kore.WaitLoadResponse(), 1);
    int status = 0;
    ASSERT_TRUE(kore.Module()->WaitExit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_NE(kore.Module()->Stdout().find("[Modbus process] failed listen on port 502"),
              std::string::npos);
    EXPECT_EQ(kore.Count(43), 0u) << "no cycle without a listening socket";
    close(blocker);
  }
}

TEST_F(SlaveTest, SegmentationFaultEndsTheProcessWithStatusZero) {
  kore.Module()->Signal(SIGSEGV);
  int status = -1;
  ASSERT_TRUE(kore.Module()->WaitExit(&status));
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SlaveStart, CommandLine) {
  auto run = [](std::vector<std::string> args, const std::string& name, std::string* out) {
    args.insert(args.begin(), MODBUS_SLAVE_MODULE);
    auto p = test_support::ChildProcess::Start(args, name);
    int status = 0;
    EXPECT_TRUE(p->WaitExit(&status));
    *out = p->Stdout();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
  };
  std::string out;
  EXPECT_EQ(run({}, "noarg", &out), 255);
  EXPECT_NE(out.find("[UserSerial][ERROR] Run /modbus-slave-module FAILED [Missing parameters]"),
            std::string::npos)
      << out;
  EXPECT_EQ(run({"12a"}, "badarg", &out), 255);
  EXPECT_NE(out.find("FAILED [Parameter 1 is invalid]"), std::string::npos) << out;
  EXPECT_EQ(run({"--help"}, "help", &out), 0);
  EXPECT_NE(out.find("Usage: modbus-slave-module KORE_PID"), std::string::npos) << out;
  EXPECT_EQ(run({"--version"}, "version", &out), 0);
  EXPECT_EQ(out.rfind("modbus-slave-module ", 0), 0u) << out;
}
