#include "MujocoPlant.h"

#include <mujoco/mujoco.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>

namespace hostsim {
namespace {

// Contact impedance d, constant over the penetration (dmin = dmax) so the
// realised stiffness does not depend on how deep the tip is. MuJoCo's soft
// contact force is f = D (a_ref - a) with D = d / ((1 - d) A): besides the
// spring and damper in a_ref it carries a virtual mass D at the contact. A
// small d keeps that mass at about 1 % of the tool's effective mass (with
// d near 1 it reaches a hundred kilograms and the arm rocks slowly on it).
constexpr double kImpedance = 0.01;

std::string Vec(const Eigen::Vector3d& v) {
  std::ostringstream s;
  s.precision(17);
  s << v[0] << ' ' << v[1] << ' ' << v[2];
  return s.str();
}

Eigen::Vector3d Map3(const mjtNum* p) {
  return Eigen::Vector3d(p[0], p[1], p[2]);
}

// MuJoCo matrices are row-major.
Eigen::Matrix3d Rot(const mjtNum* m) {
  Eigen::Matrix3d r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r(i, j) = m[3 * i + j];
  return r;
}

}  // namespace

std::string MujocoPlant::Mjcf(const ArmParameters& arm, const MujocoParameters& p,
                              const std::vector<ContactSurface>& surfaces) {
  std::ostringstream x;
  x.precision(17);
  x << "<mujoco model=\"arm\">\n"
    << "  <compiler angle=\"radian\" inertiafromgeom=\"false\"/>\n"
    << "  <option timestep=\"" << kCycle / std::max(1, p.substeps) << "\" gravity=\""
    << Vec(arm.gravity) << "\" integrator=\"Euler\" cone=\"elliptic\"/>\n"
    << "  <worldbody>\n";
  const auto& links = arm.links;
  std::string indent = "    ";
  double previousLength = 0.0;
  for (int i = 0; i < 6; ++i) {
    const LinkDescription& l = links[i];
    const Eigen::Vector3d moments = LinkMoments(l) * p.massScale;
    const double armature = arm.gearRatio[i] * arm.gearRatio[i] * arm.motorInertia[i];
    x << indent << "<body name=\"link" << i + 1 << "\" pos=\"0 0 " << previousLength << "\">\n"
      << indent << "  <joint name=\"j" << i + 1 << "\" type=\"hinge\" axis=\""
      << (l.axis == 2 ? "0 0 1" : "0 1 0") << "\" damping=\"" << arm.viscousFriction
      << "\" frictionloss=\"" << p.frictionLoss[i] << "\" armature=\""
      << armature
      // Friction loss is a soft constraint in the engine: below the loss
      // the joint creeps like a damper of about D b. A short time constant
      // and an impedance near 1 make that damper stiff enough to hold.
      << "\" solreffriction=\"" << 2.0 * kCycle / std::max(1, p.substeps)
      << " 1\" solimpfriction=\"0.99 0.99 0.001 0.5 2\"/>\n"
      << indent << "  <inertial pos=\"0 0 " << l.length + l.cog << "\" mass=\""
      << l.mass * p.massScale << "\" diaginertia=\"" << Vec(moments) << "\"/>\n";
    previousLength = l.length;
    indent += "  ";
  }
  // The tool: welded to the flange, the payload (reported and unreported)
  // at the TCP, the sensor site at the flange, the tip sphere at the TCP.
  const double toolMass = arm.payload + p.unreportedPayload;
  const Eigen::Vector3d axis =
      arm.tool.norm() > 1e-9 ? arm.tool.normalized() : Eigen::Vector3d::UnitZ();
  x << indent << "<body name=\"tool\" pos=\"0 0 " << previousLength << "\">\n";
  if (toolMass > 0.0)
    x << indent << "  <inertial pos=\"" << Vec(arm.tool) << "\" mass=\"" << toolMass
      << "\" diaginertia=\"" << Vec(PayloadMoments(toolMass)) << "\"/>\n";
  x << indent << "  <site name=\"flange\" pos=\"0 0 0\"/>\n"
    << indent << "  <site name=\"tcp\" pos=\"" << Vec(arm.tool) << "\"/>\n"
    << indent << "  <geom name=\"tip\" ";
  if (p.pegHalfWidth > 0.0)
    x << "type=\"box\" size=\"" << p.pegHalfWidth << ' ' << p.pegHalfWidth << ' ' << p.pegHalfLength
      << "\" pos=\"" << Vec(arm.tool - p.pegHalfLength * axis) << "\"";
  else
    x << "type=\"sphere\" size=\"" << p.tipRadius << "\" pos=\""
      << Vec(arm.tool - p.tipRadius * axis) << "\"";
  x << " contype=\"0\" conaffinity=\"0\"/>\n" << indent << "</body>\n";
  for (int i = 5; i >= 0; --i) {
    indent.resize(indent.size() - 2);
    x << indent << "</body>\n";
  }
  for (size_t i = 0; i < surfaces.size(); ++i) {
    const ContactSurface& s = surfaces[i];
    x << "    <geom name=\"surface" << i << "\" contype=\"0\" conaffinity=\"0\" pos=\""
      << Vec(s.point) << "\" ";
    if (s.shape == ContactSurface::kPlane) {
      x << "type=\"plane\" size=\"1 1 0.1\" zaxis=\"" << Vec(s.normal.normalized()) << "\"/>\n";
    } else {
      x << "type=\"box\" size=\"" << Vec(s.halfSize) << "\"";
      const double angle = s.rotation.norm();
      if (angle > 0.0) x << " axisangle=\"" << Vec(s.rotation / angle) << ' ' << angle << "\"";
      x << "/>\n";
    }
  }
  x << "  </worldbody>\n";
  if (!surfaces.empty()) {
    x << "  <contact>\n";
    for (size_t i = 0; i < surfaces.size(); ++i) {
      // The engine's contact carries the normal force only; Coulomb
      // friction is applied by the plant (ApplyFriction): the engine's
      // friction rows share the contact's small impedance and damping and
      // would barely resist a steady slide.
      x << "    <pair geom1=\"surface" << i
        << "\" geom2=\"tip\" condim=\"1\" friction=\"1 1 0.005 0.0001 0.0001\" "
        << "solref=\"-1 0\" solimp=\"" << kImpedance << ' ' << kImpedance << " 0.001 0.5 2\"/>\n";
    }
    x << "  </contact>\n";
  }
  x << "  <sensor>\n"
    << "    <force name=\"wrist_force\" site=\"flange\"/>\n"
    << "    <torque name=\"wrist_torque\" site=\"flange\"/>\n"
    << "  </sensor>\n"
    << "</mujoco>\n";
  return x.str();
}

MujocoPlant::MujocoPlant(const ArmParameters& arm, const MujocoParameters& parameters,
                         const std::array<double, 6>& torqueLimit, const WrenchSources& wrench)
    : m_arm(arm), m_p(parameters), m_torqueLimit(torqueLimit), m_wrench(wrench) {
  m_p.substeps = std::max(1, std::min(m_p.substeps, 100));
  Build();
}

MujocoPlant::~MujocoPlant() {
  if (m_data) mj_deleteData(m_data);
  if (m_model) mj_deleteModel(m_model);
}

bool MujocoPlant::Build() {
  std::vector<ContactSurface> surfaces = m_p.contacts;
  m_wallShown = m_wrench.HasWall();
  if (m_wallShown) {
    m_wall = ContactSurface();
    m_wall.point = m_wrench.WallPoint();
    m_wall.normal = m_wrench.WallNormal();
    m_wall.stiffness = m_wrench.WallStiffness();
    m_wall.damping = m_wrench.WallDamping();
    surfaces.push_back(m_wall);
  }
  const std::string xml = Mjcf(m_arm, m_p, surfaces);
  auto vfs = std::make_unique<mjVFS>();
  mj_defaultVFS(vfs.get());
  const char* file = "arm.xml";
  if (mj_makeEmptyFileVFS(vfs.get(), file, static_cast<int>(xml.size())) != 0) {
    m_error = "cannot hold the model in memory";
    return false;
  }
  const int index = mj_findFileVFS(vfs.get(), file);
  std::memcpy(vfs->filedata[index], xml.data(), xml.size());
  char error[1000] = "";
  mjModel* model = mj_loadXML(file, vfs.get(), error, sizeof error);
  mj_deleteVFS(vfs.get());
  if (model == nullptr) {
    m_error = std::string("MuJoCo model: ") + error;
    return false;
  }
  if (m_data) mj_deleteData(m_data);
  if (m_model) mj_deleteModel(m_model);
  m_model = model;
  m_data = mj_makeData(m_model);
  m_surfaces = surfaces;
  m_toolBody = mj_name2id(m_model, mjOBJ_BODY, "tool");
  m_surfaceOfGeom.assign(static_cast<size_t>(m_model->ngeom), -1);
  for (size_t i = 0; i < surfaces.size(); ++i) {
    const int g = mj_name2id(m_model, mjOBJ_GEOM, ("surface" + std::to_string(i)).c_str());
    if (g >= 0) m_surfaceOfGeom[static_cast<size_t>(g)] = static_cast<int>(i);
  }
  m_friction.setZero();
  m_tcpSite = mj_name2id(m_model, mjOBJ_SITE, "tcp");
  m_flangeSite = mj_name2id(m_model, mjOBJ_SITE, "flange");
  m_forceAdr = m_model->sensor_adr[mj_name2id(m_model, mjOBJ_SENSOR, "wrist_force")];
  m_torqueAdr = m_model->sensor_adr[mj_name2id(m_model, mjOBJ_SENSOR, "wrist_torque")];
  SetContactParameters();
  for (int i = 0; i < 6; ++i) {
    m_data->qpos[i] = m_q[i];
    m_data->qvel[i] = m_qd[i];
  }
  mj_forward(m_model, m_data);
  return true;
}

void MujocoPlant::SetContactParameters() {
  // In static equilibrium a soft contact pushes with f = k d |r| / R, where
  // k = stiffness / dmax^2 comes from solref = (-stiffness, -damping), and
  // R = (1 - d) / d * A is the regulariser, A the engine's approximation of
  // the inverse inertia the contact sees (the bodies' translational
  // weights at the reference posture). The damping force is b v / R with
  // b = damping / dmax. Solve both for the declared figures (d = dmax).
  const int tipBody = m_model->geom_bodyid[mj_name2id(m_model, mjOBJ_GEOM, "tip")];
  for (int i = 0; i < m_model->npair; ++i) {
    const ContactSurface& s = m_surfaces[static_cast<size_t>(i)];
    const int surfaceBody = m_model->geom_bodyid[m_model->pair_geom1[i]];
    const double a =
        m_model->body_invweight0[2 * tipBody] + m_model->body_invweight0[2 * surfaceBody];
    const double r = (1.0 - kImpedance) / kImpedance * a;
    m_model->pair_solref[2 * i] = -s.stiffness * r * kImpedance;
    m_model->pair_solref[2 * i + 1] = -s.damping * r * kImpedance;
  }
}

void MujocoPlant::SyncWall() {
  const bool wall = m_wrench.HasWall();
  if (wall == m_wallShown &&
      (!wall ||
       (m_wall.point == m_wrench.WallPoint() && m_wall.normal == m_wrench.WallNormal() &&
        m_wall.stiffness == m_wrench.WallStiffness() && m_wall.damping == m_wrench.WallDamping())))
    return;
  // On failure the previous model stays in place.
  Build();
}

void MujocoPlant::Place(const Vector6d& q, const Vector6d& qd) {
  m_q = q;
  m_qd = qd;
  if (!Ok()) return;
  mj_resetData(m_model, m_data);
  for (int i = 0; i < 6; ++i) {
    m_data->qpos[i] = q[i];
    m_data->qvel[i] = qd[i];
  }
  // Held as a servo holds it, so the sensors read an arm at rest.
  mj_forward(m_model, m_data);
  mju_copy(m_data->qfrc_applied, m_data->qfrc_bias, m_model->nv);
  mj_forward(m_model, m_data);
}

void MujocoPlant::ApplyWrench(double t) {
  // On the tool body (so the wrist sensor sees it), as a force at the TCP:
  // the engine takes it at the body's centre of mass.
  mju_zero(m_data->qfrc_applied, m_model->nv);
  mju_zero(m_data->xfrc_applied, 6 * m_model->nbody);
  ApplyFriction();
  const Vector6d w = m_wrench.Constant(t);
  if (w.squaredNorm() == 0.0) return;
  const Eigen::Vector3d f = w.head<3>();
  const Eigen::Vector3d arm =
      Map3(m_data->site_xpos + 3 * m_tcpSite) - Map3(m_data->xipos + 3 * m_toolBody);
  const Eigen::Vector3d torque = w.tail<3>() + arm.cross(f);
  mjtNum* x = m_data->xfrc_applied + 6 * m_toolBody;
  for (int i = 0; i < 3; ++i) {
    x[i] += f[i];
    x[3 + i] += torque[i];
  }
}

void MujocoPlant::ApplyFriction() {
  // Coulomb friction of each touching surface with a coefficient: against
  // the tip's sliding velocity at the contact point, mu times the normal
  // force, regularised below kFrictionSpeed so it stays smooth (a tool
  // pushed sideways below the friction limit creeps at about
  // kFrictionSpeed * push / (mu * normal force)).
  constexpr double kFrictionSpeed = 0.002;  // m/s
  m_friction.setZero();
  const Eigen::Vector3d tcp = Map3(m_data->site_xpos + 3 * m_tcpSite);
  const Eigen::Vector3d com = Map3(m_data->xipos + 3 * m_toolBody);
  mjtNum* x = m_data->xfrc_applied + 6 * m_toolBody;
  for (int i = 0; i < m_data->ncon; ++i) {
    const mjContact& c = m_data->contact[i];
    const int other = m_model->geom_bodyid[c.geom1] == m_toolBody ? c.geom2 : c.geom1;
    if (m_model->geom_bodyid[other] == m_toolBody) continue;
    const int surface =
        other < static_cast<int>(m_surfaceOfGeom.size()) ? m_surfaceOfGeom[other] : -1;
    if (surface < 0 || m_surfaces[static_cast<size_t>(surface)].friction <= 0.0) continue;
    mjtNum local[6];
    mj_contactForce(m_model, m_data, i, local);
    const double normal = std::fabs(local[0]);
    if (normal <= 0.0) continue;
    const Eigen::Vector3d n = Rot(c.frame).row(0).transpose();
    const Eigen::Vector3d p = Map3(c.pos);
    Eigen::Matrix<double, 3, 6, Eigen::RowMajor> jp;
    jp.setZero();
    mj_jac(m_model, m_data, jp.data(), nullptr, c.pos, m_toolBody);
    Eigen::Vector3d v = jp * Eigen::Map<const Vector6d>(m_data->qvel);
    v -= v.dot(n) * n;  // sliding: the velocity in the contact's plane
    const double mu = m_surfaces[static_cast<size_t>(surface)].friction;
    const Eigen::Vector3d f =
        -mu * normal * v / std::sqrt(v.squaredNorm() + kFrictionSpeed * kFrictionSpeed);
    const Eigen::Vector3d torque = (p - com).cross(f);
    for (int k = 0; k < 3; ++k) {
      x[k] += f[k];
      x[3 + k] += torque[k];
    }
    m_friction.head<3>() += f;
    m_friction.tail<3>() += (p - tcp).cross(f);
  }
}

bool MujocoPlant::Advance(double t, const ServoCommand& command, const ModelSnapshot& model) {
  if (!Ok()) return false;
  SyncWall();
  const int n = m_p.substeps;
  const double h = kCycle / n;
  bool limited = false;
  mjtNum q0[6];
  std::copy(m_data->qpos, m_data->qpos + 6, q0);
  for (int k = 1; k <= n; ++k) {
    ApplyWrench(t + (k - 1) * h);
    for (int i = 0; i < 6; ++i) {
      double tau;
      if (command.servo == SERVO_TORQUE) {
        tau = command.tau[i];
      } else {
        // The reference moves linearly over the cycle.
        const double ref = command.qRef[i] - command.qdRef[i] * h * (n - k);
        tau = model.gravity[i] + m_p.kp[i] * (ref - m_data->qpos[i]) +
              m_p.kd[i] * (command.qdRef[i] - m_data->qvel[i]);
        const double lim = m_torqueLimit[i];
        if (tau > lim) tau = lim, limited = true;
        if (tau < -lim) tau = -lim, limited = true;
      }
      m_data->qfrc_applied[i] += tau;
    }
    mj_step(m_model, m_data);
  }
  bool finite = true;
  for (int i = 0; i < 6; ++i)
    finite = finite && std::isfinite(m_data->qpos[i]) && std::isfinite(m_data->qvel[i]);
  if (!finite || m_data->warning[mjWARN_BADQACC].number > 0) {
    // The engine went unstable (it resets itself to the reference posture):
    // put the arm back where the cycle began, at rest.
    ++m_resets;
    m_data->warning[mjWARN_BADQACC].number = 0;
    mj_resetData(m_model, m_data);
    std::copy(q0, q0 + 6, m_data->qpos);
  }
  // Contacts, constraint forces and sensors at the new state.
  mj_forward(m_model, m_data);
  for (int i = 0; i < 6; ++i) {
    m_q[i] = m_data->qpos[i];
    m_qd[i] = m_data->qvel[i];
  }
  return limited;
}

ExternalLoad MujocoPlant::Sense(double t, const Eigen::Isometry3d& pose, const Matrix6d& J) {
  ExternalLoad load;
  if (!Ok()) return load;
  const Eigen::Vector3d tcp = Map3(m_data->site_xpos + 3 * m_tcpSite);
  Vector6d wrench = m_wrench.Constant(t);
  for (int i = 0; i < m_data->ncon; ++i) {
    const mjContact& c = m_data->contact[i];
    const int b1 = m_model->geom_bodyid[c.geom1], b2 = m_model->geom_bodyid[c.geom2];
    if (b1 != m_toolBody && b2 != m_toolBody) continue;
    load.penetration = std::max(load.penetration, -c.dist);
    mjtNum local[6];
    mj_contactForce(m_model, m_data, i, local);
    // The contact frame's rows are its axes (normal first); the force is
    // the one geom1 exerts on geom2.
    const Eigen::Matrix3d frame = Rot(c.frame);
    Eigen::Vector3d f = frame.transpose() * Map3(local);
    if (b1 == m_toolBody) f = -f;
    wrench.head<3>() += f;
    wrench.tail<3>() += (Map3(c.pos) - tcp).cross(f);
  }
  wrench += m_friction;  // as applied in the last engine step
  load.toolWrench = wrench;
  load.jointTorque = J.transpose() * wrench;
  // The host estimates external torque as the joint torque its model does
  // not explain. Statically that is J^T F plus the gravity torque of the
  // mass the model lacks: the unreported payload at the TCP, and the links'
  // share of a mass scale error, (1 - 1/scale) of each plant link's mass.
  load.jointTorqueSensed = load.jointTorque;
  const Eigen::Vector3d g = m_arm.gravity;
  if (m_p.unreportedPayload != 0.0)
    load.jointTorqueSensed += m_p.unreportedPayload * J.topRows<3>().transpose() * g;
  if (m_p.massScale != 1.0) {
    Eigen::Matrix<double, 3, 6, Eigen::RowMajor> jc;
    for (int b = 1; b < m_model->nbody; ++b) {
      if (b == m_toolBody) continue;
      mj_jacBodyCom(m_model, m_data, jc.data(), nullptr, b);
      const double missing = (1.0 - 1.0 / m_p.massScale) * m_model->body_mass[b];
      load.jointTorqueSensed += missing * jc.transpose() * g;
    }
  }
  // The wrist sensor gives the force and moment the flange exerts on the
  // tool (in the sensor frame, moment about the flange). In equilibrium the
  // environment's wrench on the tool balances it and the tool's weight;
  // the host removes the weight of the tool it knows about.
  const Eigen::Matrix3d r = Rot(m_data->site_xmat + 9 * m_flangeSite);
  const Eigen::Vector3d flange = Map3(m_data->site_xpos + 3 * m_flangeSite);
  const Eigen::Vector3d fs = r * Map3(m_data->sensordata + m_forceAdr);
  const Eigen::Vector3d ts = r * Map3(m_data->sensordata + m_torqueAdr);
  const Eigen::Vector3d weight = m_arm.payload * m_arm.gravity;
  load.wristWrench.head<3>() = -fs - weight;
  load.wristWrench.tail<3>() = -(ts + (flange - tcp).cross(fs));
  (void)pose;
  return load;
}

void MujocoPlant::ForwardAt(const Vector6d& q) {
  for (int i = 0; i < 6; ++i) {
    m_data->qpos[i] = q[i];
    m_data->qvel[i] = 0.0;
  }
  mju_zero(m_data->qfrc_applied, m_model->nv);
  mj_forward(m_model, m_data);
}

Matrix6d MujocoPlant::EngineInertia(const Vector6d& q) {
  ForwardAt(q);
  Eigen::Matrix<double, 6, 6, Eigen::RowMajor> m;
  mj_fullM(m_model, m.data(), m_data->qM);
  Place(m_q, m_qd);
  return m;
}

Vector6d MujocoPlant::EngineGravity(const Vector6d& q) {
  ForwardAt(q);
  Vector6d g;
  for (int i = 0; i < 6; ++i) g[i] = m_data->qfrc_bias[i];
  Place(m_q, m_qd);
  return g;
}

Matrix6d MujocoPlant::EngineJacobian(const Vector6d& q) {
  ForwardAt(q);
  Eigen::Matrix<double, 3, 6, Eigen::RowMajor> jp, jr;
  mj_jacSite(m_model, m_data, jp.data(), jr.data(), m_tcpSite);
  Matrix6d j;
  j << jp, jr;
  Place(m_q, m_qd);
  return j;
}

Eigen::Isometry3d MujocoPlant::EngineTcpPose(const Vector6d& q) {
  ForwardAt(q);
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.translation() = Map3(m_data->site_xpos + 3 * m_tcpSite);
  pose.linear() = Rot(m_data->site_xmat + 9 * m_tcpSite);
  Place(m_q, m_qd);
  return pose;
}

}  // namespace hostsim
