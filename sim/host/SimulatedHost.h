// SimulatedHost: a control host for one simulated arm. It implements the
// RobotControlContext a plug-in talks to, keeps the host's set-points and
// status words, runs the motion library's trajectory target and the
// external wrench sources, and moves the arm by the servo mode in force:
//   position servo, task space:  the arm follows the commanded TCP pose
//                                through its inverse kinematics;
//   position servo, joint space: the arm follows the joint set-point;
//   torque servo:                forward dynamics (RK4) under the commanded
//                                torque plus J^T F of the external wrench.
// Every getter returns values computed before the cycle, so the calls a
// module makes from DoControl are cheap and allocation-free.
#pragma once

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Plant.h"
#include "RobotControlContext.h"
#include "SimulatedArm.h"
#include "WrenchSources.h"

namespace hostsim {

// The motion library's target: holds a pose, or moves from it by a relative
// displacement (translation and rotation vector, base frame) along a time
// profile: quintic (`Move`), or constant speed with accelerations of
// `blend` seconds at both ends (`Line`); or runs a search spiral in the base
// frame's x-y plane about the pose it holds (`Spiral`: the radius grows
// linearly to `radius` over `turns` turns at constant angular speed, then
// the target holds where the spiral ended). `Halt` holds where the target
// is at `t`. Status word 1 while moving, 0 when holding.
class TrajectoryTarget {
 public:
  void Hold(const Eigen::Isometry3d& pose);
  void Move(double start, double duration, const Vector6d& displacement);
  void Line(double start, double duration, const Vector6d& displacement, double blend);
  void Spiral(double start, double duration, double radius, double turns);
  void Halt(double t);
  bool Moving() const { return m_moving; }
  void Evaluate(double t, Eigen::Isometry3d& pose, Vector6d& velocity, Vector6d& acceleration,
                int32_t& status);

 private:
  enum Profile { kQuintic, kLine, kSpiral };
  void Begin(double start, double duration, Profile profile);
  Eigen::Isometry3d End() const;

  Eigen::Isometry3d m_hold = Eigen::Isometry3d::Identity();
  Vector6d m_delta = Vector6d::Zero();
  double m_start = 0.0;
  double m_duration = 0.0;
  bool m_moving = false;
  Profile m_profile = kQuintic;
  double m_blend = 0.1;                  // s, line
  double m_radius = 0.0, m_turns = 0.0;  // spiral
};

struct HostParameters {
  ArmParameters arm;
  PlantKind plant = PlantKind::kKdl;
  MujocoParameters mujoco;
  // Start posture, degrees. The TCP points down in front of the arm, with
  // every singular value of the Jacobian well above the compliance limit.
  std::array<double, 6> postureDeg{{0.0, 30.0, 60.0, 0.0, 90.0, 0.0}};
  int model = 0;
  double modelScale = 1.0;
  double complianceSvMax = 0.05;  // singularity limit and DLS bound
  bool fts = false;               // a force/torque sensor is fitted
  bool onlineTracking = false;
  uint8_t singularHandling = 0;
  double extTorqueLimit = 50.0;            // Nm, CRobotInfo::Monitoring
  int32_t forceControlMonitoring = 0;      // 0 = checks armed
  double torqueNoise = 0.0;                // std of joint torque sensing, Nm
  double wrenchNoise = 0.0;                // std of the force sensor, N / Nm
  Vector6d wrenchBias = Vector6d::Zero();  // force sensor offset left after compensation
  bool sensorDelay = false;                // force and torque readings one cycle late
  // A host that falls behind: every `staleSensorEvery` cycles the force and
  // torque readings keep their last value for `staleSensorCycles` cycles;
  // every `overrunEvery` cycles one DoControl call is missed and made up by
  // two calls in the next cycle (the plant advancing 2 ms in between).
  // 0: never.
  int staleSensorEvery = 0;
  int staleSensorCycles = 5;
  int overrunEvery = 0;
  unsigned seed = 1;
  _REF_COORD frame{COORD_BASE, 0, 0};                   // the motion command frame
  Eigen::Matrix3d world = Eigen::Matrix3d::Identity();  // world frame in base
  std::array<Eigen::Matrix3d, 8> userFrames;            // user frames in base
  double maxJointSpeed = 3.0;                           // rad/s in position servo
  std::array<double, 6> torqueLimit{{400.0, 400.0, 200.0, 60.0, 60.0, 60.0}};  // Nm
  // A hole for insertion metrics (the surfaces themselves are contacts):
  // centre of its mouth (base frame, m), axis +z out of it, and its depth
  // (m; 0: no hole).
  Eigen::Vector3d holeMouth = Eigen::Vector3d::Zero();
  double holeDepth = 0.0;

  HostParameters() { userFrames.fill(Eigen::Matrix3d::Identity()); }
};

struct ErrorRecord {
  double time;
  int level;
  int code;
  char text[512];
};

class SimulatedHost : public RobotControlContext {
 public:
  explicit SimulatedHost(const HostParameters& parameters = HostParameters());
  ~SimulatedHost() override;
  SimulatedHost(const SimulatedHost&) = delete;
  SimulatedHost& operator=(const SimulatedHost&) = delete;

  // The plant behind the host; empty when it could not be built (the
  // MuJoCo model did not compile), and then PlantError() says why and the
  // arm stands still.
  Plant* GetPlant() { return m_plant.get(); }
  const std::string& PlantError() const { return m_plantError; }

  // Back to the start posture at rest, time 0, position servo in joint
  // space, all words 0; writes the static robot data (CRobotInfo). The
  // static data is process-wide: the host constructed (or reset) last
  // decides what every module reads.
  void Reset();
  HostParameters& Parameters() { return m_p; }
  SimulatedArm& Arm() { return m_arm; }
  WrenchSources& Wrench() { return m_wrench; }
  TrajectoryTarget& Trajectory() { return m_trajectory; }

  // Moves the arm one cycle by the set-points and the servo mode, advances
  // time, then refreshes every measurement.
  void Actuate();
  // Recomputes every measurement from the present state (after changing
  // the posture, tool or frames by hand).
  void Sense();

  // Places the arm at a posture (radians), at rest or moving with qd,
  // and makes every set-point hold that posture.
  void SetJoints(const Vector6d& q, const Vector6d& qd = Vector6d::Zero());
  // The host's force-direction word (what getTCPForce_dir reports).
  void SetForceDirection(const Vector6d& direction) { m_forceDir = direction; }
  void SetMotionCoordinate(_REF_COORD coord) { m_p.frame = coord; }

  // Read back.
  double Time() const { return m_t; }
  const Vector6d& Joints() const { return m_q; }
  const Vector6d& JointVelocities() const { return m_qd; }
  const Eigen::Isometry3d& TcpPose() const { return m_pose; }
  const Eigen::Isometry3d& TargetPose() const { return m_targetPose; }
  Vector6d TcpVelocity() const { return m_J * m_qd; }
  // The wrench the surroundings apply now, and its joint torque J^T F.
  const Vector6d& AppliedWrench() const { return m_extWrench; }
  const Vector6d& ExternalTorque() const { return m_extTorque; }
  // Deepest penetration of the tool into a surface now, m; the tool
  // touches while it is above 0. A surface is the wall or, on the MuJoCo
  // plant, a declared contact.
  double Penetration() const { return m_penetration; }
  bool InContact() const { return m_penetration > 0.0; }
  bool HasSurface() const {
    return m_wrench.HasWall() || (m_p.plant == PlantKind::kMujoco && !m_p.mujoco.contacts.empty());
  }
  const Vector6d& CommandedTorque() const { return m_trqD; }
  const Eigen::Isometry3d& CommandedPose() const { return m_poseD; }
  const Vector6d& CommandedJoints() const { return m_qD; }
  bool ComplianceOn() const { return m_compForce == COMPFORCE_ON; }
  const std::vector<ErrorRecord>& Errors() const { return m_errors; }
  // Set-points the host refused: NaN or infinity, or a pose whose rotation
  // is not a rotation.
  long NonFiniteSetpoints() const { return m_nonFinite; }
  // Cycles in which the joint speed or a torque had to be limited.
  long SpeedLimitHits() const { return m_speedLimited; }
  long TorqueLimitHits() const { return m_torqueLimited; }

  // RobotControlContext.
  Vector6d getJntPos() override { return m_q; }
  Vector6d getJntVel() override { return m_qd; }
  Vector6d getJntVel_lpf_20Hz() override { return m_qdFiltered; }
  Vector6d getJntPos_d() override { return m_qD; }
  Matrix6d getJntM() override { return m_M; }
  Matrix6d getJntC() override { return m_C; }
  Vector6d getJntTrqGrav() override { return m_g; }
  Vector6d getJntTrqFric_comp_fctrl() override { return Vector6d::Zero(); }
  Vector6d getJntTrqExt() override { return m_extTorqueMeasured; }
  Vector6d getJntTrqExt_Fctrl() override { return m_extTorqueMeasured; }
  Vector6d getJntExtTrq_Fctrl_lpf() override { return m_extTorqueFiltered; }
  Mota::TaskPosition getTCPPose() override { return ToTaskPosition(m_pose); }
  Mota::TaskPosition getTCPPose_tg() override { return ToTaskPosition(m_targetPose); }
  Mota::TaskVelocity getTCPVel() override { return ToTaskVelocity(m_J * m_qd); }
  Mota::TaskVelocity getTCPVel_tg() override { return ToTaskVelocity(m_targetVel); }
  Vector6d getTCPAcc_tg() override { return m_targetAcc; }
  Matrix6d getTCPJ() override { return m_J; }
  Matrix6d getTCPJdot() override { return m_Jdot; }
  Matrix6d getCalInverseJacobianDLS(const Matrix6d& J, double lambda) override {
    return SimulatedArm::DampedInverse(J, lambda);
  }
  Vector6d getFTS_comp_FCtrl_lpf() override { return m_wrenchFiltered; }
  Eigen::Vector3d getTCPToolLength() override { return m_p.arm.tool; }
  Vector6d getTCPForce_dir() override { return m_forceDir; }
  Mota::TaskPosition getSTCP() override { return ToTaskPosition(m_pose); }
  double getTotalPayloadMass() override { return m_p.arm.payload; }
  Eigen::Matrix3d getR0() override { return m_pose.linear(); }
  Mota::TaskPosition getBaseToWorld() override { return Frame(m_p.world); }
  Mota::TaskPosition getWorldToBase() override { return Frame(m_p.world.transpose()); }
  Mota::TaskPosition getHT_base2ucart(int index) override { return Frame(UserFrame(index)); }
  Mota::TaskPosition getHT_ucart2base(int index) override {
    return Frame(UserFrame(index).transpose());
  }
  _REF_COORD getRefCoord(REF_COORD_MODE) override { return m_refCoord; }
  void setRefCoord(REF_COORD_MODE, _REF_COORD coord) override { m_refCoord = coord; }
  int getRefCoordIdx() override { return 0; }
  _REF_COORD getMotionCmdCoordinateClassidication(int) override { return m_p.frame; }
  SERVO_MODE getServoMode() override { return m_servo; }
  MOTION_SPACE getMotionSpace() override { return m_space; }
  int32_t& getMotionLibStatus() override { return m_motionStatus; }
  int32_t& getExpTimeStatus() override { return m_expTime; }
  int32_t& getForceControlMonitoring() override { return m_p.forceControlMonitoring; }
  int getModel() override { return m_p.model; }
  bool getFlagOnlineTracking() override { return m_p.onlineTracking; }
  double getMinSingularValue() override { return m_minSingular; }
  double getCompliance_sv_max() override { return m_p.complianceSvMax; }
  double getModelScale() override { return m_p.modelScale; }
  double getCalculateDecTime_w_CurJvel() override { return m_qd.cwiseAbs().maxCoeff() / 10.0; }
  int getProgramStatus() override { return 1; }
  uint8_t getSingularHandlingStatus() override { return m_p.singularHandling; }

  void setServoMode(SERVO_MODE mode) override { m_servo = mode; }
  void setMotionSpace(MOTION_SPACE space) override { m_space = space; }
  void setCompForceStatus(COMPFORCE_STATUS status) override { m_compForce = status; }
  void setExpTimeStatus(MOTIONLIB_STATUS status) override { m_expTime = status; }
  void setJntPos_d(const Vector6d& q) override;
  void setJntVel_d(const Vector6d& qd) override;
  void setJntVel_d(double value) override;
  void setJntAcc_d(double) override {}
  void setJntTrq_d(const Vector6d& tau) override;
  void setJntPosInit(const Vector6d& q) override;
  void setTCPPose_d(Mota::TaskPosition pose) override;
  void setTCPPose_tg(Mota::TaskPosition pose) override;
  void setTCPVel_d(Mota::TaskVelocity velocity) override;
  void setTCPVel_d(double value) override;
  void setTCPAcc_d(double) override {}
  void setTCPVel_tg(double value) override;
  void setTCPAcc_tg(double value) override;
  void ReportError(RC_ERROR_LEVEL level, RC_ERROR_CODE code, const char* text) override;

  static Mota::TaskPosition ToTaskPosition(const Eigen::Isometry3d& pose);
  static Eigen::Isometry3d ToIsometry(const Mota::TaskPosition& pose);

 private:
  static Mota::TaskVelocity ToTaskVelocity(const Vector6d& v);
  static Mota::TaskPosition Frame(const Eigen::Matrix3d& rotation);
  const Eigen::Matrix3d& UserFrame(int index) const;
  void MakePlant();
  void MoveTowards(const Vector6d& qTarget);
  double Noise(double sigma);

  HostParameters m_p;
  SimulatedArm m_arm;
  WrenchSources m_wrench;
  TrajectoryTarget m_trajectory;
  std::mt19937 m_rng;
  std::unique_ptr<Plant> m_plant;
  std::string m_plantError;

  double m_t = 0.0;
  Vector6d m_q, m_qd, m_qdFiltered;
  // Measurements of the present state.
  Eigen::Isometry3d m_pose;
  Matrix6d m_J, m_Jdot, m_M, m_C;
  Vector6d m_g;
  double m_minSingular = 0.0;
  Vector6d m_extWrench, m_extTorque, m_extTorqueMeasured, m_extTorqueFiltered, m_wrenchFiltered;
  Vector6d m_wrenchPrevious, m_extTorquePrevious;  // for the one-cycle sensor delay
  double m_penetration = 0.0;
  // The position servo's reference (rate-limited set-point) and its speed.
  Vector6d m_qRef, m_qdRef;
  Eigen::Isometry3d m_targetPose;
  Vector6d m_targetVel, m_targetAcc;
  int32_t m_motionStatus = 0;
  // Host words and set-points.
  SERVO_MODE m_servo = SERVO_POSITION;
  MOTION_SPACE m_space = SPACE_JOINT;
  COMPFORCE_STATUS m_compForce = COMPFORCE_OFF;
  int32_t m_expTime = 0;
  _REF_COORD m_refCoord{COORD_BASE, 0, 0};
  Vector6d m_forceDir = Vector6d::Zero();
  Vector6d m_qD, m_qdD, m_trqD, m_qInit;
  Eigen::Isometry3d m_poseD;
  Vector6d m_velD;
  std::vector<ErrorRecord> m_errors;
  long m_nonFinite = 0;
  long m_senses = 0;  // Sense calls, for the stale-reading windows
  long m_speedLimited = 0;
  long m_torqueLimited = 0;
};

}  // namespace hostsim
