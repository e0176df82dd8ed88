// The checks that keep a command or a posture from reaching the arm: command
// maxima, the external torque screen, the singularity and tool checks and
// the force-direction check, with the errors they raise.
#include <cmath>

#include "ControlModule.h"

bool ControlModule::WithinCommandLimits(const Eigen::Vector6d& wrench) {
  for (int i = 0; i < 6; ++i) {
    const double limit = i < 3 ? kMaxCommandForce : kMaxCommandMoment;
    if (!(std::fabs(wrench[i]) <= limit)) return false;  // NaN too
  }
  return true;
}

int ControlModule::CheckTorqueExtMonitoring() {
  double limit = CRobotInfo::Monitoring.extTorqueLimit;
  const int model = m_context->getModel();
  if ((model == 7 || model == 8) && m_context->getFlagOnlineTracking()) limit = 20.0;
  int over = 0;
  for (int i = 0; i < 6; ++i)
    if (std::fabs(m_context->getJntTrqExt()[i]) > limit) ++over;
  return over == 0 ? 1 : -1;
}

bool ControlModule::CheckExternalTorque() {
  const int32_t monitoring = m_context->getForceControlMonitoring();
  return CheckTorqueExtMonitoring() == -1 && monitoring == 0;
}

bool ControlModule::CheckComplianceSingularity() {
  const double s = m_context->getMinSingularValue();
  const double m = m_context->getCompliance_sv_max();
  if (s < m && m_context->getForceControlMonitoring() == 0) {
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_COMPLIANCE_SINGULARITY,
                        "min_singluar_value=%.3f compliance_sv_max=%.3f", s, m);
    FinControl();
    return true;
  }
  return false;
}

bool ControlModule::CheckTCPLength(double limit) {
  const Eigen::Vector3d t = m_context->getTCPToolLength();
  const double length = std::sqrt(t[0] * t[0] + t[1] * t[1] + t[2] * t[2]);
  if (length > limit) {
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_TCP_TOO_LONG,
                        "TCP is too Long (TCP value(%.1f, %.1f, %.1f)->Length(%.1f) > Limit(300)",
                        t[0] / Mota::kMmToM, t[1] / Mota::kMmToM, t[2] / Mota::kMmToM,
                        length / Mota::kMmToM);
    FinControl();
    return true;
  }
  return false;
}

bool ControlModule::CheckStatusBeforeUpdate() {
  if (CheckComplianceSingularity()) return true;
  return CheckTCPLength(0.3);
}

void ControlModule::CheckForceDirection(Eigen::Vector6d& direction) {
  bool any = false;
  for (int i = 0; i < 6; ++i) {
    direction[i] = std::fabs(direction[i]) > kSetThreshold ? 1.0 : 0.0;
    any = any || direction[i] != 0.0;
  }
  if (!any)
    m_context->SetError(RC_ERROR_LEVEL_ERROR, RC_ERROR_FORCE_DIRECTION,
                        "The number of the setting force/moment directions must be at least one.");
}
