// A small control module for the simulator's own tests: a task-space
// spring-damper in torque servo about the trajectory target, with commanded
// forces on selected axes, built with the production plug-in build function.
// Like every plug-in it writes only hooks and its law.
#include <algorithm>
#include <cmath>

#include "ControlModule.h"

namespace {

class SpringModule : public ControlModule {
 public:
  SpringModule(long id, RobotControlContext* context) : ControlModule(id, context) {}

 protected:
  void InitControl() override {
    m_paused = false;
    m_forceRamp.Reset(Eigen::Vector6d::Zero());
  }
  SERVO_MODE ControlServoMode() const override { return SERVO_TORQUE; }
  // Force-controlled axes lose their spring; the force acts on them only.
  void ApplyComplianceTargets(const Eigen::Vector6d& stiffness, const Eigen::Vector6d& force,
                              const Eigen::Vector6d& direction, double time) override {
    Eigen::Vector6d k = stiffness, f = force;
    for (int i = 0; i < 6; ++i) {
      const bool forceAxis = direction[i] > kSetThreshold;
      k[i] = forceAxis ? 0.0 : k[i];
      f[i] = forceAxis ? f[i] : 0.0;
    }
    RetargetRamp(m_stiffnessRamp, k);
    RetargetRamp(m_forceRamp, f);
    RestartRamps(time);
  }
  void PauseLaw(double) override { m_paused = true; }
  void ResumeLaw() override { m_paused = false; }

  int CustomControlLaw(_ControlOutput& output) override {
    AdvanceRamp(m_stiffnessRamp);
    AdvanceRamp(m_forceRamp);
    const Eigen::Vector6d& k = m_stiffnessRamp.current;
    const Eigen::Vector6d e = CalPoseError(m_context->getTCPPose_tg(), m_context->getTCPPose());
    const Eigen::Vector6d ev = CalVelError(m_context->getTCPVel_tg(), m_context->getTCPVel());
    Eigen::Vector6d damping;
    for (int i = 0; i < 6; ++i)
      damping[i] =
          2.0 * std::sqrt(std::max(k[i], 0.0) * (i < 3 ? 5.0 : 0.05)) + (i < 3 ? 40.0 : 2.0);
    // While paused the spring lets go; damping still acts.
    const Eigen::Vector6d spring =
        m_paused ? Eigen::Vector6d::Zero() : Eigen::Vector6d(k.cwiseProduct(e));
    const Eigen::Vector6d wrench = spring + damping.cwiseProduct(ev) + m_forceRamp.current;
    output.jointTorque = m_context->getTCPJ().transpose() * wrench + m_context->getJntTrqGrav() +
                         m_context->getJntC() * m_context->getJntVel();
    return 0;
  }

 private:
  GainRamp m_forceRamp;
  bool m_paused = false;
};

}  // namespace

CONTROL_MODULE_CREATE(SpringModule)
