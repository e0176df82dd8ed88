// A joint-space spring: from Start on, each joint is pulled back to the
// angle it had at Start by a spring with a damper, in torque servo, with
// gravity compensated; a push on the tool gives way and the arm returns to
// the start posture when the push ends.
//
// Command records, as for the shipped plug-ins:
//   start      stiffness K1..K6 (Nm/rad, one per joint), ramped in over time
//   stiffness  new K1..K6 over time
//   pause      hold the posture where the arm is now; resume: back to the start one
//   stop       ends control
// Damping is critical for each joint's own inertia: D = 2 sqrt(K M_jj).
// Everything in the cycle is fixed-size Eigen and allocation-free.
#include <algorithm>
#include <cmath>

#include "ControlModule.h"

namespace {

class JointSpringModule : public ControlModule {
 public:
  JointSpringModule(long id, RobotControlContext* context) : ControlModule(id, context) {}

  int Start(void* command) override {
    if (command == nullptr || m_context == nullptr) return -1;
    Eigen::Vector6d stiffness = Eigen::Vector6d::Zero(), force = Eigen::Vector6d::Zero();
    double time = 0.0;
    GetStartComplianceControlEvent(command, stiffness, force, time);
    if (!Finite(stiffness) || !std::isfinite(time)) return -1;
    m_hold = m_start = m_context->getJntPos();
    m_stiffness.setZero();
    BeginRamp(Clamp(stiffness), time);
    SetControlMode(SERVO_TORQUE, SPACE_JOINT);
    // The host drives DoControl while compliance is on; FinControl turns it off.
    SetCompForceStatus(COMPFORCE_ON);
    return 0;
  }

  int Stop(void* command) override {
    if (GetStopComplianceControlEvent(command)) return -1;
    FinControl();
    return 0;
  }

  int DoControl() override {
    CustomControlLaw(m_output);
    SetOutput(m_output);
    m_gainElapsed += kCyclePeriod;
    return 0;
  }

  int UpdateControlGain(void* command) override {
    if (CheckCommandType(command) != CMD_STIFFNESS) return -1;
    Eigen::Vector6d stiffness = Eigen::Vector6d::Zero();
    double time = 0.0;
    GetTargetStiffness(command, stiffness, time);
    if (!Finite(stiffness) || !std::isfinite(time)) return -1;
    BeginRamp(Clamp(stiffness), time);
    return 0;
  }

  int Pause(void*) override {
    m_hold = m_context->getJntPos();
    return 0;
  }
  int Resume(void*) override {
    m_hold = m_start;
    return 0;
  }
  int CheckControlState() override { return 0; }

  int CustomControlLaw(_ControlOutput& output) override {
    InterpolateControlGain(m_stiffness, m_target, m_from);
    const Eigen::Vector6d q = m_context->getJntPos();
    const Eigen::Vector6d qd = m_context->getJntVel();
    const Eigen::Matrix6d inertia = m_context->getJntM();
    Eigen::Vector6d torque;
    for (int j = 0; j < 6; ++j) {
      const double damping = 2.0 * std::sqrt(m_stiffness[j] * std::max(inertia(j, j), 0.0));
      torque[j] = m_stiffness[j] * (m_hold[j] - q[j]) - damping * qd[j];
    }
    output.jointTorque = torque + m_context->getJntTrqGrav();
    return 0;
  }

 private:
  // Joint stiffness is kept within what the arm's joints can follow.
  static constexpr double kMaxStiffness = 20000.0;  // Nm/rad

  static bool Finite(const Eigen::Vector6d& v) { return v.allFinite(); }
  static Eigen::Vector6d Clamp(const Eigen::Vector6d& k) {
    return k.cwiseMax(0.0).cwiseMin(kMaxStiffness);
  }
  void BeginRamp(const Eigen::Vector6d& target, double time) {
    m_from = m_stiffness;
    m_target = target;
    m_gainTime = std::max(time, kCyclePeriod);
    m_gainElapsed = 0.0;
  }

  Eigen::Vector6d m_start = Eigen::Vector6d::Zero();  // posture at Start, rad
  Eigen::Vector6d m_hold = Eigen::Vector6d::Zero();   // posture the springs pull to
  Eigen::Vector6d m_stiffness = Eigen::Vector6d::Zero();
  Eigen::Vector6d m_from = Eigen::Vector6d::Zero();
  Eigen::Vector6d m_target = Eigen::Vector6d::Zero();
};

}  // namespace

CONTROL_MODULE_CREATE(JointSpringModule)
