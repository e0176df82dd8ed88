// A small control module for the simulator's own tests: a task-space
// spring-damper in torque servo about the trajectory target, with commanded
// forces on selected axes, built with the production plug-in build function.
#include <cmath>

#include "ControlModule.h"

namespace {

class SpringModule : public ControlModule {
 public:
  SpringModule(long id, RobotControlContext* context) : ControlModule(id, context) {}

  int Start(void* command) override {
    m_gainTime = 0.001;
    m_gainElapsed = 0.002;
    m_paused = false;
    m_force.setZero();
    m_forceAxes.setZero();
    m_forceTarget.setZero();
    m_forceFrom.setZero();
    m_stiffness.setZero();
    SetControlMode(SERVO_TORQUE, SPACE_TASK);
    SetCompForceStatus(COMPFORCE_ON);
    Eigen::Vector6d force = Eigen::Vector6d::Zero();
    double time = 0.0;
    GetStartComplianceControlEvent(command, m_stiffness, force, time);
    m_stiffnessTarget = m_stiffnessFrom = m_commanded = m_stiffness;
    if (CheckExternalTorque() || CheckStatusBeforeUpdate()) {
      FinControl();
      return -1;
    }
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
    Eigen::Vector6d direction = Eigen::Vector6d::Zero(), force = Eigen::Vector6d::Zero();
    double time = 0.0;
    bool relative = false;
    switch (CheckCommandType(command)) {
      case CMD_STIFFNESS:
        GetTargetStiffness(command, m_commanded, time);
        for (int i = 0; i < 6; ++i)
          m_stiffnessTarget[i] = m_forceAxes[i] > 0.5 ? 0.0 : m_commanded[i];
        break;
      case CMD_FORCE:
        GetTargetForce(command, force, direction, time, relative);
        CheckForceDirection(direction);
        // Force-controlled axes lose their spring.
        for (int i = 0; i < 6; ++i) {
          force[i] = direction[i] > 0.5 ? force[i] : 0.0;
          m_stiffnessTarget[i] = direction[i] > 0.5 ? 0.0 : m_commanded[i];
        }
        m_forceTarget = force;
        m_forceAxes = direction;
        break;
      case CMD_RELEASE_FORCE:
        GetReleaseForce(command, m_commanded, force, m_forceAxes, time);
        m_stiffnessTarget = m_commanded;
        m_forceTarget.setZero();
        break;
      default:
        return -1;
    }
    m_stiffnessFrom = m_stiffness;
    m_forceFrom = m_force;
    m_gainElapsed = 0.0;
    m_gainTime = std::max(time, 0.001);
    if (CheckStatusBeforeUpdate()) FinControl();
    return 0;
  }

  int Pause(void*) override {
    m_paused = true;
    return 0;
  }
  int Resume(void*) override {
    m_paused = false;
    return 0;
  }
  int CheckControlState() override {
    return (m_context->getMotionLibStatus() != 0 || m_context->getExpTimeStatus() != 0) ? 2 : 0;
  }

  int CustomControlLaw(_ControlOutput& output) override {
    InterpolateControlGain(m_stiffness, m_stiffnessTarget, m_stiffnessFrom);
    InterpolateControlGain(m_force, m_forceTarget, m_forceFrom);
    const Eigen::Vector6d e = CalPoseError(m_context->getTCPPose_tg(), m_context->getTCPPose());
    const Eigen::Vector6d ev = CalVelError(m_context->getTCPVel_tg(), m_context->getTCPVel());
    Eigen::Vector6d damping;
    for (int i = 0; i < 6; ++i)
      damping[i] = 2.0 * std::sqrt(std::max(m_stiffness[i], 0.0) * (i < 3 ? 5.0 : 0.05)) +
                   (i < 3 ? 40.0 : 2.0);
    // While paused the spring lets go; damping still acts.
    const Eigen::Vector6d spring =
        m_paused ? Eigen::Vector6d::Zero() : Eigen::Vector6d(m_stiffness.cwiseProduct(e));
    const Eigen::Vector6d wrench = spring + damping.cwiseProduct(ev) + m_force;
    output.jointTorque = m_context->getTCPJ().transpose() * wrench + m_context->getJntTrqGrav() +
                         m_context->getJntC() * m_context->getJntVel();
    return 0;
  }

 private:
  Eigen::Vector6d m_stiffness, m_stiffnessTarget, m_stiffnessFrom, m_commanded, m_forceAxes;
  Eigen::Vector6d m_force, m_forceTarget, m_forceFrom;
  bool m_paused = false;
};

}  // namespace

CONTROL_MODULE_CREATE(SpringModule)
