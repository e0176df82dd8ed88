// The plug-ins' command records, through the public operations a host
// drives (Start, UpdateControlGain, Stop, Pause, Resume, DoControl) on the
// test kit's fake host, for both plug-in libraries (loaded with dlopen and
// `create`, as a host does).
//
// Input: byte 0 chooses the plug-in (bit 0), the force sensor (bit 1), the
// servo space (bit 2); then a list of operations, each an op byte and its
// bytes. Every record is handed over in a buffer of exactly its documented
// size, so a decoder that reads past its record is an ASan report.
//
// Checked besides crashes and sanitizer reports: the module never writes a
// record, and never hands the host a set-point that is not finite.
#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ComplianceCommands.h"
#include "ControlModule.h"
#include "support/fake_host.h"

namespace {

using CreateFunction = ControlModule* (*)(long id);
constexpr int kMaxCycles = 200;
CreateFunction g_create[2] = {nullptr, nullptr};

CreateFunction Open(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  CreateFunction create =
      handle == nullptr ? nullptr : reinterpret_cast<CreateFunction>(dlsym(handle, "create"));
  if (create == nullptr) {
    std::fprintf(stderr, "fuzz: cannot load %s: %s\n", path, dlerror());
    std::abort();
  }
  return create;
}

// The input, read front to back; past its end every byte is 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Done() const { return m_at >= m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

// Size of the gain record of `type` (the type word alone for a type no
// plug-in takes).
size_t GainRecordSize(int32_t type) {
  switch (type) {
    case CMD_STIFFNESS:
      return sizeof(StiffnessCommandRecord);
    case CMD_FORCE_FACTOR:
    case CMD_DAMPING_FACTOR:
      return sizeof(FactorCommandRecord);
    case CMD_FORCE:
      return sizeof(ForceCommandRecord);
    case CMD_RELEASE_FORCE:
      return sizeof(ReleaseForceRecord);
    default:
      return sizeof(int32_t);
  }
}

// Runs `call` on a record of exactly `size` bytes (on the heap, so ASan sees
// its end): the first `headSize` from `head`, the rest from the input. Checks
// that the module left it as it was.
template <typename Call>
int WithRecord(Reader& in, size_t size, const uint8_t* head, size_t headSize, Call call) {
  std::unique_ptr<uint8_t[]> record(new uint8_t[size]);
  if (headSize > 0) std::memcpy(record.get(), head, headSize);
  for (size_t i = headSize; i < size; ++i) record[i] = in.Byte();
  std::vector<uint8_t> copy(record.get(), record.get() + size);
  const int result = call(record.get());
  if (std::memcmp(copy.data(), record.get(), size) != 0) {
    std::fprintf(stderr, "fuzz: the module wrote its command record\n");
    std::abort();
  }
  return result;
}

bool Finite(const Eigen::Vector6d& v) {
  return v.allFinite();
}
bool Finite(const Mota::TaskPosition& p) {
  return p.position.allFinite() && p.rotation.allFinite();
}

void CheckSetPoints(const FakeHost& host) {
  if (!Finite(host.torqueSent) || !Finite(host.jntPosSent) || !Finite(host.jntVelSent) ||
      !Finite(host.poseSent) || !host.velSent.linear.allFinite() ||
      !host.velSent.angular.allFinite()) {
    std::fprintf(stderr, "fuzz: the module handed the host a set-point that is not finite\n");
    std::abort();
  }
}

// A small signed value from a byte, for host readings.
double Reading(uint8_t b, double scale) {
  return (static_cast<int>(b) - 128) * scale;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_create[0] = Open(ADMITTANCE_PLUGIN_PATH);
  g_create[1] = Open(IMPEDANCE_PLUGIN_PATH);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1024) return 0;
  Reader in(data, size);
  const uint8_t setup = in.Byte();
  FakeHost host;
  host.jntTrqGrav.setConstant(1.5);
  host.toolLength = Eigen::Vector3d(0.0, 0.0, 0.1);
  host.motionSpace = (setup & 4) ? SPACE_TASK : SPACE_JOINT;
  host.model = 0;
  host.complianceSvMax = 0.05;
  CRobotInfo::fts = (setup & 2) != 0;
  CRobotInfo::Monitoring.extTorqueLimit = 1000.0;
  std::unique_ptr<ControlModule> module(g_create[setup & 1](7));
  module->SetRobotControlContext(&host);

  int cycles = 0;
  while (!in.Done()) {
    const uint8_t op = in.Byte();
    switch (op % 8) {
      case 0:
        WithRecord(in, sizeof(StartComplianceRecord), nullptr, 0,
                   [&](void* r) { return module->Start(r); });
        break;
      case 1: {
        uint8_t type[4];
        for (uint8_t& b : type) b = in.Byte();
        int32_t value;
        std::memcpy(&value, type, 4);
        WithRecord(in, GainRecordSize(value), type, 4,
                   [&](void* r) { return module->UpdateControlGain(r); });
        break;
      }
      case 2:
        // Cycles are the costly part; a bounded number per input keeps
        // the executions per second up.
        for (int n = in.Byte() % 32 + 1; n > 0 && cycles < kMaxCycles; --n, ++cycles) {
          module->DoControl();
          CheckSetPoints(host);
        }
        break;
      case 3:
        WithRecord(in, sizeof(StopComplianceRecord), nullptr, 0,
                   [&](void* r) { return module->Stop(r); });
        break;
      case 4:
        module->Pause(nullptr);
        break;
      case 5:
        module->Resume(nullptr);
        break;
      case 6:
        module->CheckControlState();
        host.motionLibStatus = in.Byte() & 1;
        break;
      case 7: {
        // A push on the tool: joint torques and the sensor's wrench.
        for (int i = 0; i < 6; ++i) {
          const double v = Reading(in.Byte(), i < 3 ? 0.5 : 0.05);
          host.jntTrqExt[i] = host.jntTrqExtFctrl[i] = host.jntExtTrqFctrlLpf[i] = v;
          host.ftsLpf[i] = v;
        }
        break;
      }
    }
  }
  CheckSetPoints(host);
  return 0;
}
