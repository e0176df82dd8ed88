// The communication-module base inside one process: monitoring functions,
// the record layout, SharedMem, the output setters, dispatch of single
// polls, responses and the entry-point checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "CommunicationModuleBase.h"
#include "MonitoringData.h"
#include "Sharedmem.h"

using namespace VeloFramework;

namespace {

bool ShmExists(const char* name) {
  struct stat st;
  return stat((std::string("/dev/shm") + name).c_str(), &st) == 0;
}

// A module whose protected operations the tests reach directly.
class ProbeModule : public CCommunicationModuleBase {
 public:
  using CCommunicationModuleBase::m_pMonitoringDataPointerMember;
  using CCommunicationModuleBase::SendMessageToKORE;
  using CCommunicationModuleBase::SetAanalogOutput;
  using CCommunicationModuleBase::SetAnalogInputType;
  using CCommunicationModuleBase::SetAnalogOutputType;
  using CCommunicationModuleBase::SetAnalogOutputValue;
  using CCommunicationModuleBase::SetControlBoxDigitalOutput;
  using CCommunicationModuleBase::SetGeneralPurpose;
  using CCommunicationModuleBase::SetToolDigitalOutput;
  using CCommunicationModuleBase::UpdateMonitoringData;

  void StartService() override {}
  void RunningService() override {}
  void StopService() override { ++stops; }
  void HandleRequest(StructControlMessage& msg) override { handled.push_back(msg); }

  int stops = 0;
  std::vector<ControlMessage> handled;
};

// Builds a module with its queue lines swallowed.
std::unique_ptr<ProbeModule> QuietModule() {
  testing::internal::CaptureStdout();
  auto m = std::make_unique<ProbeModule>();
  testing::internal::GetCapturedStdout();
  return m;
}

int QueueId() {
  return msgget(ftok("controlMessageQueue.txt", 3479), 0);
}

// Puts a hand-encoded 4120-byte record on the queue.
void PutRecord(int64_t dst, int64_t src, uint32_t event, const std::string& payload = "") {
  std::vector<unsigned char> rec(4120, 0);
  std::memcpy(&rec[0], &dst, 8);
  std::memcpy(&rec[8], &src, 8);
  std::memcpy(&rec[16], &event, 4);
  uint32_t len = static_cast<uint32_t>(payload.size());
  std::memcpy(&rec[20], &len, 4);
  std::memcpy(&rec[24], payload.data(), payload.size());
  ASSERT_EQ(msgsnd(QueueId(), rec.data(), 4112, 0), 0);
}

// Takes one raw record addressed to `type`; empty when there is none.
std::vector<unsigned char> TakeRecord(long type) {
  std::vector<unsigned char> rec(4120);
  ssize_t n = msgrcv(QueueId(), rec.data(), 4112, type, IPC_NOWAIT);
  if (n != 4112) return {};
  return rec;
}

template <typename T>
T At(const std::vector<unsigned char>& b, size_t off) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

}  // namespace

// --- monitoring record ------------------------------------------------------

TEST(MonitoringFunctions, GetBeforeTheRecordExistsFailsAndCreatesNothing) {
  MonitoringData* p = nullptr;
  EXPECT_EQ(CCommunicationModuleBase::GetMonitoringData(&p), _STATUS_MONITORING_OPEN_FAIL);
  EXPECT_EQ(p, nullptr);
  EXPECT_FALSE(ShmExists("/mm-shared-mem"));
}

TEST(MonitoringFunctions, AllocationKeepsAnExistingRecordAndModulesShareIt) {
  MonitoringData* owner = nullptr;
  ASSERT_EQ(CCommunicationModuleBase::AllocationMonitoringData(&owner), _STATUS_MONITORING_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat("/dev/shm/mm-shared-mem", &st), 0);
  EXPECT_EQ(st.st_size, 532);
  EXPECT_EQ(st.st_mode & 0777 & ~0660u, 0u);  // 0660, less the umask
  owner->general_purpose_register_[5] = 0xBEEF;
  owner->actual_joint_pose_[2] = 1.5f;

  MonitoringData* again = nullptr;
  ASSERT_EQ(CCommunicationModuleBase::AllocationMonitoringData(&again), _STATUS_MONITORING_SUCCESS);
  EXPECT_EQ(again->general_purpose_register_[5], 0xBEEF);
  MonitoringData* module = nullptr;
  ASSERT_EQ(CCommunicationModuleBase::GetMonitoringData(&module), _STATUS_MONITORING_SUCCESS);
  EXPECT_EQ(module->actual_joint_pose_[2], 1.5f);
  module->output_command_ = 1;
  EXPECT_EQ(owner->output_command_, 1u);

  EXPECT_EQ(CCommunicationModuleBase::UnMappingMonitoringData(&module), _STATUS_MONITORING_SUCCESS);
  EXPECT_EQ(CCommunicationModuleBase::UnMappingMonitoringData(&again), _STATUS_MONITORING_SUCCESS);
  MonitoringData* none = nullptr;
  EXPECT_EQ(CCommunicationModuleBase::UnMappingMonitoringData(&none), _STATUS_MONITORING_SHM_FAIL);
  CCommunicationModuleBase::UnMappingMonitoringData(&owner);
}

TEST(MonitoringFunctions, ARecordShorterThanOursIsNotMapped) {
  int fd = shm_open("/mm-shared-mem", O_CREAT | O_RDWR, 0660);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 528), 0);  // the earlier revision's size
  close(fd);
  MonitoringData* p = nullptr;
  EXPECT_EQ(CCommunicationModuleBase::GetMonitoringData(&p), _STATUS_MONITORING_MMAP_FAIL);
  EXPECT_EQ(p, nullptr);
}

TEST(MonitoringFunctions, ReleaseRemovesBothNamesAndStopsAtTheFirstMissing) {
  // Record missing: 4, and the response record is not touched.
  SharedMem response("/mm-shared-mem_response", 257);
  void* r = nullptr;
  ASSERT_EQ(response.CreateShm(&r), SHM_SUCCESS);
  EXPECT_EQ(CCommunicationModuleBase::ReleaseMonitoringData(), _STATUS_MONITORING_SHM_FAIL);
  EXPECT_TRUE(ShmExists("/mm-shared-mem_response"));

  // Both present: both removed.
  MonitoringData* p = nullptr;
  ASSERT_EQ(CCommunicationModuleBase::AllocationMonitoringData(&p), _STATUS_MONITORING_SUCCESS);
  EXPECT_EQ(CCommunicationModuleBase::ReleaseMonitoringData(), _STATUS_MONITORING_SUCCESS);
  EXPECT_FALSE(ShmExists("/mm-shared-mem"));
  EXPECT_FALSE(ShmExists("/mm-shared-mem_response"));

  // Only the record: it goes, and the missing second name gives 4.
  ASSERT_EQ(CCommunicationModuleBase::AllocationMonitoringData(&p), _STATUS_MONITORING_SUCCESS);
  EXPECT_EQ(CCommunicationModuleBase::ReleaseMonitoringData(), _STATUS_MONITORING_SHM_FAIL);
  EXPECT_FALSE(ShmExists("/mm-shared-mem"));
}

TEST(MonitoringFunctions, SemaphoreIsCreatedOnceAtZero) {
  ASSERT_EQ(CCommunicationModuleBase::GetMonitoringDataSemaphore(), _STATUS_MONITORING_SUCCESS);
  sem_t* s = sem_open("/mm-sem-spool", 0);
  ASSERT_NE(s, SEM_FAILED);
  int value = -1;
  sem_getvalue(s, &value);
  EXPECT_EQ(value, 0);
  sem_post(s);
  ASSERT_EQ(CCommunicationModuleBase::GetMonitoringDataSemaphore(), _STATUS_MONITORING_SUCCESS);
  sem_getvalue(s, &value);
  EXPECT_EQ(value, 1);  // an existing semaphore is kept as it is
  sem_close(s);
}

// The layout, read back from bytes written at the record's offsets.
TEST(MonitoringLayout, FieldsSitAtTheirByteOffsets) {
  std::vector<unsigned char> raw(532, 0);
  auto put16 = [&](size_t off, uint16_t v) { std::memcpy(&raw[off], &v, 2); };
  auto putf = [&](size_t off, float v) { std::memcpy(&raw[off], &v, 4); };
  put16(4, 7);
  put16(8, 9);
  put16(10, 0x1111);
  put16(12, 0x000F);
  put16(14, 0x2222);
  raw[16] = 0x3F;
  raw[17] = 0x15;
  raw[20] = 0x08;  // status bit 3
  raw[24] = 1;
  putf(28, 2.5f);
  raw[48] = 1;
  putf(52, -4.0f);
  put16(56, 100);
  put16(310, 227);
  put16(312, 3);
  putf(316, 10.0f);
  putf(336, 11.0f);
  putf(340, 12.0f);
  putf(388, 13.0f);
  putf(412, 14.0f);
  putf(436, 15.0f);
  putf(460, 16.0f);
  putf(484, 17.0f);
  putf(508, 18.0f);
  putf(528, 19.0f);

  MonitoringData d;
  std::memcpy(&d, raw.data(), sizeof d);
  EXPECT_EQ(d.controller_version_info_[0], 7);
  EXPECT_EQ(d.controller_version_info_[2], 9);
  EXPECT_EQ(d.control_box_digital_input_, 0x1111);
  EXPECT_EQ(d.control_box_digital_input_ex_, 0x000F);
  EXPECT_EQ(d.control_box_digital_output_, 0x2222);
  EXPECT_EQ(d.tool_digital_input_, 0x3F);
  EXPECT_EQ(d.tool_digital_output_, 0x15);
  EXPECT_EQ(d.system_status_.system_status_memory_, 8u);
  EXPECT_EQ(d.system_status_.system_status_group_.direct_teaching_button_pressed_, 1u);
  EXPECT_EQ(d.system_status_.system_status_group_.servo_on_, 0u);
  EXPECT_EQ(d.system_status_.system_status_group_.power_button_pressed_, 0u);
  EXPECT_EQ(d.control_box_analog_input_data_[0].type_info_, 1);
  EXPECT_EQ(d.control_box_analog_input_data_[0].analog_data_, 2.5f);
  EXPECT_EQ(d.control_box_analog_output_data_[1].type_info_, 1);
  EXPECT_EQ(d.control_box_analog_output_data_[1].analog_data_, -4.0f);
  EXPECT_EQ(d.general_purpose_register_[0], 100);
  EXPECT_EQ(d.general_purpose_register_[127], 227);
  EXPECT_EQ(d.robot_state_info_, 3);
  EXPECT_EQ(d.actual_joint_pose_[0], 10.0f);
  EXPECT_EQ(d.actual_joint_pose_[5], 11.0f);
  EXPECT_EQ(d.actual_angular_velocity_[0], 12.0f);
  EXPECT_EQ(d.actual_motor_torque_[0], 13.0f);
  EXPECT_EQ(d.actual_task_space_pose_[0], 14.0f);
  EXPECT_EQ(d.actual_task_sapce_velocity_[0], 15.0f);
  EXPECT_EQ(d.motor_temperature_[0], 16.0f);
  EXPECT_EQ(d.tool_offset_info_[0], 17.0f);
  EXPECT_EQ(d.external_force_info_[0], 18.0f);
  EXPECT_EQ(d.external_force_info_[5], 19.0f);

  // Each status bit, one at a time, through the bit-field view.
  for (uint32_t bit = 0; bit < 6; ++bit) {
    d.system_status_.system_status_memory_ = 1u << bit;
    const auto& g = d.system_status_.system_status_group_;
    uint32_t bits[6] = {g.servo_on_,
                        g.emergency_stopped_,
                        g.safety_stopped_,
                        g.direct_teaching_button_pressed_,
                        g.power_button_pressed_,
                        g.safety_stopped_requiring_recovery_mode_};
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(bits[i], i == bit ? 1u : 0u) << bit;
  }
}

// --- SharedMem --------------------------------------------------------------

TEST(SharedMem, CreateOpenUnmapAndFree) {
  SharedMem missing("/fw-test-area", 64);
  void* p = nullptr;
  EXPECT_EQ(missing.GetShm(&p), SHM_OPEN_FAIL);
  EXPECT_FALSE(ShmExists("/fw-test-area"));

  SharedMem owner("/fw-test-area", 64);
  ASSERT_EQ(owner.CreateShm(&p), SHM_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat("/dev/shm/fw-test-area", &st), 0);
  EXPECT_EQ(st.st_size, 64);
  EXPECT_EQ(st.st_mode & 0777 & ~0660u, 0u);
  std::memcpy(p, "shared", 7);

  SharedMem user("/fw-test-area", 64);
  void* q = nullptr;
  ASSERT_EQ(user.GetShm(&q), SHM_SUCCESS);
  EXPECT_STREQ(static_cast<char*>(q), "shared");
  EXPECT_TRUE(user.UnMapShm(&q));

  // Asking for more than the object holds would fault on access.
  SharedMem greedy("/fw-test-area", 4096);
  void* g = nullptr;
  EXPECT_EQ(greedy.GetShm(&g), MMAP_FAIL);
  EXPECT_EQ(g, nullptr);

  EXPECT_TRUE(owner.FreeShm());
  EXPECT_FALSE(owner.FreeShm());
  EXPECT_TRUE(owner.UnMapShm(&p));
}

// --- the load acknowledgement through shared memory -------------------------

TEST(CommunicationModule, SingletonAndSharedMemoryAcknowledgement) {
  CCommunicationModule* a = CCommunicationModule::GetInstance();
  CCommunicationModule::MakeInstance();
  EXPECT_EQ(a, CCommunicationModule::GetInstance());
  EXPECT_EQ(a->m_nReqCtl, 0);
  EXPECT_EQ(a->m_nByteLen, 0);

  testing::internal::CaptureStdout();
  a->Response();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[COMMBASE] Get SharedMem NOK\n");

  SharedMem response("/mm-shared-mem_response", 257);
  void* p = nullptr;
  ASSERT_EQ(response.CreateShm(&p), SHM_SUCCESS);
  auto* record = static_cast<SharedMemory*>(p);
  testing::internal::CaptureStdout();
  a->Response();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[COMMBASE] Sent Response to Module Manager\n[COMMBASE] Sem open NOK\n");
  EXPECT_EQ(record->ret, 1);

  record->ret = 0;
  sem_t* s = sem_open("/mm-sem-spool_response", O_CREAT, 0660, 0);
  ASSERT_NE(s, SEM_FAILED);
  testing::internal::CaptureStdout();
  a->Response();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[COMMBASE] Sent Response to Module Manager\n"
            "[COMMBASE] Released semaphore to Module Manager\n"
            "[COMMBASE] Response to Module Manager DONE\n");
  EXPECT_EQ(record->ret, 1);
  int value = -1;
  sem_getvalue(s, &value);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(ShmExists("/mm-shared-mem_response"));  // not unlinked
  sem_close(s);
}

// --- output setters ---------------------------------------------------------

class Setters : public testing::Test {
 protected:
  void SetUp() override {
    module = QuietModule();
    // The record sits between two guard areas that must never change.
    std::memset(buffer, 0xA5, sizeof buffer);
    record = reinterpret_cast<MonitoringData*>(buffer + kGuard);
    std::memset(record, 0, sizeof *record);
    module->m_pMonitoringDataPointerMember = record;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (buffer[i] != 0xA5 || buffer[kGuard + sizeof(MonitoringData) + i] != 0xA5) return false;
    }
    return true;
  }

  static constexpr size_t kGuard = 512;
  alignas(8) unsigned char buffer[kGuard + sizeof(MonitoringData) + kGuard];
  MonitoringData* record = nullptr;
  std::unique_ptr<ProbeModule> module;
};

TEST_F(Setters, DigitalOutputBitsAndWords) {
  record->control_box_digital_output_ = 0x0001;
  module->SetControlBoxDigitalOutput(uint8_t{3}, true);
  EXPECT_EQ(record->control_box_digital_output_, 0x0009);
  EXPECT_EQ(record->output_command_, 1u);
  module->SetControlBoxDigitalOutput(uint8_t{0}, false);
  EXPECT_EQ(record->control_box_digital_output_, 0x0008);
  module->SetControlBoxDigitalOutput(uint8_t{15}, true);
  EXPECT_EQ(record->control_box_digital_output_, 0x8008);
  module->SetControlBoxDigitalOutput(uint16_t{0x1234});
  EXPECT_EQ(record->control_box_digital_output_, 0x1234);

  record->output_command_ = 0;
  record->tool_digital_output_ = 0x20;
  module->SetToolDigitalOutput(uint8_t{1}, true);
  EXPECT_EQ(record->tool_digital_output_, 0x22);
  EXPECT_EQ(record->output_command_, 1u);
  module->SetToolDigitalOutput(uint8_t{5}, false);
  EXPECT_EQ(record->tool_digital_output_, 0x02);
  module->SetToolDigitalOutput(uint8_t{0x34});
  EXPECT_EQ(record->tool_digital_output_, 0x34);
  EXPECT_TRUE(GuardsIntact());
}

TEST_F(Setters, AnalogChannels) {
  record->control_box_analog_output_data_[1].type_info_ = 1;
  module->SetAnalogOutputValue(1, 500);
  EXPECT_EQ(record->control_box_analog_output_data_[1].analog_data_, 500.0f);
  EXPECT_EQ(record->control_box_analog_output_data_[1].type_info_, 1);
  EXPECT_EQ(record->output_command_, 1u);

  module->SetAnalogOutputType(0, 1);
  EXPECT_EQ(record->control_box_analog_output_data_[0].type_info_, 1);
  module->SetAnalogInputType(1, 1);
  EXPECT_EQ(record->control_box_analog_input_data_[1].type_info_, 1);
  module->SetAanalogOutput(0, 0, 3.25f);
  EXPECT_EQ(record->control_box_analog_output_data_[0].type_info_, 0);
  EXPECT_EQ(record->control_box_analog_output_data_[0].analog_data_, 3.25f);
  AnalogData whole{};
  whole.type_info_ = 1;
  whole.analog_data_ = -2.0f;
  module->SetAanalogOutput(1, whole);
  EXPECT_EQ(record->control_box_analog_output_data_[1].type_info_, 1);
  EXPECT_EQ(record->control_box_analog_output_data_[1].analog_data_, -2.0f);
  EXPECT_TRUE(GuardsIntact());
}

TEST_F(Setters, GeneralPurposePrintsWithoutLineEnd) {
  testing::internal::CaptureStdout();
  module->SetGeneralPurpose(128, 7);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " === Writing GP-16 ==== Address = 128;;;; Value = 7");
  EXPECT_EQ(record->general_purpose_register_[0], 7);
  EXPECT_EQ(record->output_command_, 1u);
  testing::internal::CaptureStdout();
  module->SetGeneralPurpose(255, 65535);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(record->general_purpose_register_[127], 65535);

  MonitoringData snapshot{};
  module->UpdateMonitoringData(snapshot);  // sees the write at once
  EXPECT_EQ(std::memcmp(&snapshot, record, sizeof snapshot), 0);
}

TEST_F(Setters, OutOfRangeIndicesWriteNothingAndSayWhy) {
  std::vector<unsigned char> before(buffer, buffer + sizeof buffer);
  testing::internal::CaptureStdout();
  module->SetControlBoxDigitalOutput(uint8_t{16}, true);
  module->SetControlBoxDigitalOutput(uint8_t{255}, false);
  module->SetToolDigitalOutput(uint8_t{8}, true);
  module->SetAnalogInputType(2, 1);
  module->SetAnalogOutputType(255, 1);
  module->SetAnalogOutputValue(2, 9);
  module->SetAanalogOutput(2, 1, 1.0f);
  module->SetAanalogOutput(200, AnalogData{1, {0, 0, 0}, 1.0f});
  module->SetGeneralPurpose(127, 1);
  module->SetGeneralPurpose(0, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::equal(before.begin(), before.end(), buffer));
  EXPECT_EQ(record->output_command_, 0u);
  size_t lines = 0;
  for (size_t pos = 0;
       (pos = out.find("[CCommunicationModuleBase][ERROR] ", pos)) != std::string::npos; ++pos)
    ++lines;
  EXPECT_EQ(lines, 10u) << out;
  EXPECT_NE(out.find("SetGeneralPurpose: address 127 out of range [128..255]"), std::string::npos);
  EXPECT_EQ(out.find("Writing GP-16"), std::string::npos);
}

TEST_F(Setters, UnmappedRecordIsNotTouched) {
  module->m_pMonitoringDataPointerMember = nullptr;
  testing::internal::CaptureStdout();
  module->SetControlBoxDigitalOutput(uint8_t{1}, true);
  module->SetGeneralPurpose(130, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("monitoring data not mapped"), std::string::npos);
  MonitoringData snapshot{};
  snapshot.robot_state_info_ = 42;
  module->UpdateMonitoringData(snapshot);
  EXPECT_EQ(snapshot.robot_state_info_, 42);  // left as it was
}

// --- dispatch and responses -------------------------------------------------

TEST(Dispatch, OneMessagePerPollNegativeSourcesDroppedUnloadAnswered) {
  auto module = QuietModule();
  CCommunicationModuleBase::UpdateKorePID(4242);
  const int64_t me = getpid();
  // (A queue of the default size holds three records.)
  PutRecord(me, -5, 30);
  PutRecord(me, 0x00000000FFFFFFFFll, 31);  // low 32 bits read as -1
  PutRecord(me, 77, 20, "abc");
  module->GetControlMessage();  // drops -5
  module->GetControlMessage();  // drops the other
  EXPECT_TRUE(module->handled.empty());
  PutRecord(me, static_cast<int64_t>(0xFFFFFFFF00000005ull), 21);  // low 32 bits: 5
  module->GetControlMessage();
  ASSERT_EQ(module->handled.size(), 1u);
  EXPECT_EQ(module->handled[0].nEvent, 20u);
  EXPECT_EQ(module->handled[0].nMsgTypeSrc, 77);
  EXPECT_EQ(std::string(module->handled[0].msgData.chMsgData, 3), "abc");
  module->GetControlMessage();
  ASSERT_EQ(module->handled.size(), 2u);
  EXPECT_EQ(module->handled[1].nEvent, 21u);
  module->GetControlMessage();  // empty queue: nothing
  EXPECT_EQ(module->handled.size(), 2u);

  PutRecord(me, 1, EN_REQ_MODULE_MANAGER_UNLOAD);
  module->GetControlMessage();
  EXPECT_EQ(module->stops, 1);
  EXPECT_FALSE(module->IsModuleRunning());
  EXPECT_EQ(module->handled.size(), 2u);
  auto rec = TakeRecord(4242);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(At<int64_t>(rec, 0), 4242);
  EXPECT_EQ(At<int64_t>(rec, 8), me);
  EXPECT_EQ(At<uint32_t>(rec, 16), 2u);
  EXPECT_EQ(At<uint32_t>(rec, 20), 4u);
  EXPECT_EQ(At<uint32_t>(rec, 24), 0u);
}

TEST(Dispatch, ResponsesCarryTheStatusAndRefuseValuesAbove61) {
  auto module = QuietModule();
  CCommunicationModuleBase::UpdateKorePID(4243);
  // "Loaded" waits for the service loop, which this module never runs.
  module->Response();
  EXPECT_TRUE(TakeRecord(4243).empty());
  module->Response(2, EN_RET_STATUS_SUCCESS);
  auto rec = TakeRecord(4243);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(At<uint32_t>(rec, 16), 2u);
  EXPECT_EQ(At<uint32_t>(rec, 20), 4u);
  EXPECT_EQ(At<uint32_t>(rec, 24), 0u);

  module->Response(1, EN_RET_STATUS_SERIAL_CONNECTION_NOT_FOUND);
  rec = TakeRecord(4243);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(At<uint32_t>(rec, 24), 61u);

  testing::internal::CaptureStdout();
  module->Response(1, EN_RET_STATUS_END);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[CCommunicationModuleBase][ERROR] Invalid Response Value [62] to respond\n");
  EXPECT_TRUE(TakeRecord(4243).empty());
}

// --- entry point ------------------------------------------------------------

namespace {
int Check(std::vector<std::string> args, std::string* out) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int rc = CheckModuleArguments(static_cast<int>(args.size()), argv.data(), "[Probe][ERROR] Run ");
  *out = testing::internal::GetCapturedStdout();
  return rc;
}
}  // namespace

TEST(EntryPoint, ArgumentChecks) {
  std::string out;
  const std::string self = std::to_string(getpid());
  EXPECT_EQ(Check({"/opt/bin/probe", self.c_str()}, &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(CCommunicationModuleBase::GetKorePID(), getpid());

  // Not a number, not a possible pid, or no running process.
  for (const char* bad : {"-5", "12a", "", "+5", " 5", "0", "99999999999", "99999999"}) {
    EXPECT_EQ(Check({"/opt/bin/probe", bad}, &out), -1) << bad;
    EXPECT_EQ(out, "[Probe][ERROR] Run /probe FAILED [Parameter 1 is invalid]\n") << bad;
  }
  EXPECT_EQ(CCommunicationModuleBase::GetKorePID(), getpid());
  EXPECT_EQ(Check({"/opt/bin/probe"}, &out), -1);
  EXPECT_EQ(out, "[Probe][ERROR] Run /probe FAILED [Missing parameters]\n");
  // Started through PATH: the name has no '/' and is used whole.
  EXPECT_EQ(Check({"probe"}, &out), -1);
  EXPECT_EQ(out, "[Probe][ERROR] Run probe FAILED [Missing parameters]\n");

  EXPECT_TRUE(CCommunicationModuleBase::IsNumber("0123456789"));
  EXPECT_FALSE(CCommunicationModuleBase::IsNumber(""));
  EXPECT_FALSE(CCommunicationModuleBase::IsNumber("1.5"));
}
