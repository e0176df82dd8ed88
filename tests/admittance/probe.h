// Test access to the module's state: the same class with its protected
// members made visible.
#pragma once

#include "AdmittanceControlModule.h"
#include "support/fake_host.h"

namespace admittance_test {

using Vector6 = Eigen::Matrix<double, 6, 1>;
using Matrix6 = Eigen::Matrix<double, 6, 6>;

class Probe : public AdmittanceControlModule {
 public:
  using AdmittanceControlModule::AdmittanceControlModule;

  using AdmittanceControlModule::m_dampingFactorRamp;
  using AdmittanceControlModule::m_dampingStiffnessRamp;
  using AdmittanceControlModule::m_forceAxes;
  using AdmittanceControlModule::m_forceFactorRamp;
  using AdmittanceControlModule::m_forceOffset;
  using AdmittanceControlModule::m_forceRefRamp;
  using AdmittanceControlModule::m_forceTarget;
  using AdmittanceControlModule::m_gainTime;
  using AdmittanceControlModule::m_lawState;
  using AdmittanceControlModule::m_stiffnessRamp;
};

// The host the admittance tests start from: an arm of model 0 in task
// space with a 0.1 m tool and gravity on every joint, no stop deceleration,
// and the exact inverse Jacobian so static deflections equal F/k exactly;
// no force sensor and a 1000 Nm external torque limit.
inline void UseAdmittanceDefaults(FakeHost& host) {
  CRobotInfo::fts = false;
  CRobotInfo::Monitoring.extTorqueLimit = 1000.0;
  host.jntTrqGrav.setConstant(1.5);
  host.toolLength = Eigen::Vector3d(0.0, 0.0, 0.1);
  host.motionSpace = SPACE_TASK;
  host.model = 0;
  host.complianceSvMax = 0.05;
  host.decTime = 0.0;
  host.exactInverse = true;
}

}  // namespace admittance_test
