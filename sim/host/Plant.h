// Plant: the physical arm behind the simulated host. The host keeps its own
// model of the arm (SimulatedArm, what the controller is told), runs the
// servo's interpolator and the inverse kinematics, and hands the plant one
// servo set-point per 1 ms cycle; the plant moves the arm and tells what the
// surroundings do to it. Two plants:
//   KdlPlant     the host's own model, exact: the position servo reaches
//                every set-point at once, torque servo integrates the model's
//                forward dynamics, contacts are massless spring wrenches;
//   MujocoPlant  a MuJoCo arm built from the same link table, with a joint
//                PD loop, friction, rotor inertia, real contacts, a wrist
//                force/torque sensor and model mismatch.
#pragma once

#include <Eigen/Geometry>
#include <memory>
#include <string>
#include <vector>

#include "Mota.h"
#include "RobotControlContext.h"

namespace hostsim {

using Eigen::Matrix6d;
using Eigen::Vector6d;

enum class PlantKind { kKdl, kMujoco };

// "kdl" / "mujoco"; false for any other text.
bool ParsePlantKind(const std::string& text, PlantKind* out);
const char* PlantName(PlantKind kind);

// A contact surface of the MuJoCo plant. The realised normal stiffness
// (force over penetration) is `stiffness` N/m and the normal damping
// `damping` N s/m. Friction: Coulomb coefficient, 0 = frictionless.
struct ContactSurface {
  enum Shape { kPlane, kBox } shape = kPlane;
  // Plane: a point on it and its outward normal (base frame). Box: centre,
  // orientation (rotation vector, rad) and half sizes (m).
  Eigen::Vector3d point = Eigen::Vector3d::Zero();
  Eigen::Vector3d normal = Eigen::Vector3d::UnitZ();
  Eigen::Vector3d rotation = Eigen::Vector3d::Zero();
  Eigen::Vector3d halfSize = Eigen::Vector3d::Constant(0.05);
  double stiffness = 20000.0;
  double damping = 0.0;
  double friction = 0.0;
};

// Settings of the MuJoCo plant (the KDL plant ignores them).
struct MujocoParameters {
  // Joint position loop: tau = g_model(q) + kp (q_ref - q) + kd (qd_ref - qd),
  // limited to the host's torque limits. Nm/rad and Nm s/rad.
  std::array<double, 6> kp{{25000.0, 25000.0, 12000.0, 2500.0, 2500.0, 1500.0}};
  std::array<double, 6> kd{{400.0, 400.0, 200.0, 30.0, 30.0, 20.0}};
  int substeps = 2;  // engine steps per 1 ms cycle (0.5 ms)
  // Physical joint friction the controller does not compensate: Coulomb
  // (Nm) per joint; viscous friction is ArmParameters::viscousFriction.
  std::array<double, 6> frictionLoss{{0.0, 0.0, 0.0, 0.0, 0.0, 0.0}};
  // Model mismatch: a payload at the TCP the controller is not told about
  // (kg), and the plant's link masses and inertias over the model's.
  double unreportedPayload = 0.0;
  double massScale = 1.0;
  // Radius of the tool tip sphere that touches the surfaces; its lowest
  // point along the tool axis is the TCP.
  double tipRadius = 0.005;
  // A square peg instead of the sphere: a box of half width `pegHalfWidth`
  // across the flange's x and y axes and half length `pegHalfLength` along
  // the tool, its end face at the TCP. Off (the sphere) while 0.
  double pegHalfWidth = 0.0;
  double pegHalfLength = 0.0;
  std::vector<ContactSurface> contacts;
};

// What the servo is asked to do this cycle.
struct ServoCommand {
  SERVO_MODE servo = SERVO_POSITION;
  Vector6d qRef = Vector6d::Zero();   // position servo: joint reference (rad)
  Vector6d qdRef = Vector6d::Zero();  // its velocity (rad/s)
  Vector6d tau = Vector6d::Zero();    // torque servo: joint torques, already limited (Nm)
};

// The host's model of the arm at the present state, computed before the
// cycle (the plant may use it as a controller would: gravity compensation).
struct ModelSnapshot {
  Matrix6d linkInertia;  // without rotors
  Matrix6d coriolis;     // C(q, qd)
  Vector6d gravity;      // torque holding the arm against gravity
  Vector6d extTorque;    // the external joint torque sensed now
};

// What the surroundings do to the arm at the present state.
struct ExternalLoad {
  // The wrench the environment exerts on the tool, at the TCP, in the base
  // frame (N, Nm).
  Vector6d toolWrench = Vector6d::Zero();
  // The joint torque of every external force on the arm (tool and links).
  Vector6d jointTorque = Vector6d::Zero();
  // What the host's external torque estimate sees (before noise): the
  // joint torque above, plus whatever load the host's model misses (an
  // unreported payload's weight, a mass error), as an estimate from joint
  // torques and the model would. Equal to jointTorque without mismatch.
  Vector6d jointTorqueSensed = Vector6d::Zero();
  // The wrist force/torque sensor's reading, moved to the TCP, base frame,
  // the modelled tool weight removed (before noise, bias and filtering).
  Vector6d wristWrench = Vector6d::Zero();
  double penetration = 0.0;  // deepest contact penetration, m
};

class Plant {
 public:
  virtual ~Plant() = default;
  virtual PlantKind Kind() const = 0;
  // Places the arm at q moving with qd.
  virtual void Place(const Vector6d& q, const Vector6d& qd) = 0;
  // Moves the arm over one cycle starting at time t. Returns true when the
  // servo had to limit a torque.
  virtual bool Advance(double t, const ServoCommand& command, const ModelSnapshot& model) = 0;
  virtual const Vector6d& Joints() const = 0;
  virtual const Vector6d& JointVelocities() const = 0;
  // The surroundings at time t for the present state. `pose`, `J` are the
  // TCP pose and Jacobian of the present state.
  virtual ExternalLoad Sense(double t, const Eigen::Isometry3d& pose, const Matrix6d& J) = 0;
};

}  // namespace hostsim
