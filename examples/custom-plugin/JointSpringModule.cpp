// A joint-space spring: from Start on, each joint is pulled back to the
// angle it had at Start by a spring with a damper, in torque servo, with
// gravity compensated; a push on the tool gives way and the arm returns to
// the start posture when the push ends.
//
// The module writes only hooks and its law; the lifecycle (guards, record
// checks, command limits, the posture and tool checks, ending control) is
// the base's, as for the shipped plug-ins. Command records:
//   start      stiffness K1..K6 (Nm/rad, one per joint), taken at once
//   stiffness  new K1..K6, ramped over the record's time
//   pause      hold the posture where the arm is now; resume: back to the start one
//   stop       ends control
// Other gain commands are refused. Damping is critical for each joint's own
// inertia: D = 2 sqrt(K M_jj). Everything in the cycle is fixed-size Eigen
// and allocation-free.
#include <algorithm>
#include <cmath>

#include "ControlModule.h"

namespace {

class JointSpringModule : public ControlModule {
 public:
  JointSpringModule(long id, RobotControlContext* context) : ControlModule(id, context) {}

 protected:
  // Start: the springs pull towards the posture the arm has now.
  void InitControl() override { m_hold = m_start = m_context->getJntPos(); }
  SERVO_MODE ControlServoMode() const override { return SERVO_TORQUE; }
  bool TakesCommand(int type) const override { return type == CMD_STIFFNESS; }
  // Joint stiffness is kept within what the arm's joints can follow.
  void PreProcessStiffnessGain(Eigen::Vector6d& k) override {
    k = k.cwiseMax(0.0).cwiseMin(kMaxStiffness);
  }
  void ApplyComplianceTargets(const Eigen::Vector6d& stiffness, const Eigen::Vector6d& /*force*/,
                              const Eigen::Vector6d& /*direction*/, double time) override {
    RetargetRamp(m_stiffnessRamp, stiffness);
    RestartRamps(time);
  }
  void PauseLaw(double /*decelerationTime*/) override { m_hold = m_context->getJntPos(); }
  void ResumeLaw() override { m_hold = m_start; }

  // The law, once per cycle while control runs.
  int CustomControlLaw(_ControlOutput& output) override {
    AdvanceRamp(m_stiffnessRamp);
    const Eigen::Vector6d& k = m_stiffnessRamp.current;
    const Eigen::Vector6d q = m_context->getJntPos();
    const Eigen::Vector6d qd = m_context->getJntVel();
    const Eigen::Matrix6d inertia = m_context->getJntM();
    Eigen::Vector6d torque;
    for (int j = 0; j < 6; ++j) {
      const double damping = 2.0 * std::sqrt(k[j] * std::max(inertia(j, j), 0.0));
      torque[j] = k[j] * (m_hold[j] - q[j]) - damping * qd[j];
    }
    output.jointTorque = torque + m_context->getJntTrqGrav();
    return 0;
  }

 private:
  static constexpr double kMaxStiffness = 20000.0;  // Nm/rad

  Eigen::Vector6d m_start = Eigen::Vector6d::Zero();  // posture at Start, rad
  Eigen::Vector6d m_hold = Eigen::Vector6d::Zero();   // posture the springs pull to
};

}  // namespace

CONTROL_MODULE_CREATE(JointSpringModule)
