// Pose and velocity value types exchanged between the control host and the
// control plug-ins. Their memory layout is shared with the host, so every
// size and offset is pinned at compile time at the end of this header.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cstddef>
#include <cstdint>

namespace Eigen {
using Vector6d = Matrix<double, 6, 1>;
using Matrix6d = Matrix<double, 6, 6>;
}  // namespace Eigen

// Units of the numbers handed to a pose setter.
struct UNIT_TYPE {
  enum SCALE {
    // Metres and radians, taken as they are.
    METER_RADIAN = 0,
    // Millimetres and degrees (any non-zero value).
    MILLIMETER_DEGREE = 1,
  };
};

namespace Mota {

using Vector6d = Eigen::Vector6d;

constexpr double kPi = 3.141592653589793;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kMmToM = 0.001;

// A 3x3 rotation matrix of doubles, column-major; 72 bytes, no virtual table.
class Rotation : public Eigen::Matrix3d {
 public:
  Rotation() : Eigen::Matrix3d(Eigen::Matrix3d::Identity()) {}
  template <typename OtherDerived>
  Rotation(const Eigen::MatrixBase<OtherDerived>& other) : Eigen::Matrix3d(other) {}
  template <typename OtherDerived>
  Rotation& operator=(const Eigen::MatrixBase<OtherDerived>& other) {
    Eigen::Matrix3d::operator=(other);
    return *this;
  }

  // True for the axis codes 0 (x), 1 (y) and 2 (z).
  static bool IsValidAxis(int code) { return code >= 0 && code <= 2; }

  // Sets this matrix to R(i1, a) * R(i2, b) * R(i3, c): intrinsic rotations
  // composed in argument order about the axes coded 0 = x, 1 = y, 2 = z.
  // With a non-zero scale the angles are in degrees. An axis code outside
  // 0..2 has no meaning; the matrix then becomes the identity, so a caller
  // never receives an undefined orientation. Returns *this.
  Rotation& Euler2Rot(double a, double b, double c, int i1, int i2, int i3,
                      UNIT_TYPE::SCALE scale) {
    if (!IsValidAxis(i1) || !IsValidAxis(i2) || !IsValidAxis(i3)) {
      setIdentity();
      return *this;
    }
    if (scale != UNIT_TYPE::METER_RADIAN) {
      a *= kDegToRad;
      b *= kDegToRad;
      c *= kDegToRad;
    }
    const Eigen::Quaterniond q =
        AxisQuaternion(i1, a) * AxisQuaternion(i2, b) * AxisQuaternion(i3, c);
    const double x = q.x(), y = q.y(), z = q.z(), w = q.w();
    const double tx = 2.0 * x, ty = 2.0 * y, tz = 2.0 * z;
    Eigen::Matrix3d& m = *this;
    m(0, 0) = 1.0 - (ty * y + tz * z);
    m(0, 1) = tx * y - tz * w;
    m(0, 2) = tx * z + ty * w;
    m(1, 0) = tx * y + tz * w;
    m(1, 1) = 1.0 - (tx * x + tz * z);
    m(1, 2) = ty * z - tx * w;
    m(2, 0) = tx * z - ty * w;
    m(2, 1) = ty * z + tx * w;
    m(2, 2) = 1.0 - (tx * x + ty * y);
    return *this;
  }

 private:
  static Eigen::Quaterniond AxisQuaternion(int axis, double angle) {
    const double s = std::sin(0.5 * angle);
    Eigen::Quaterniond q(std::cos(0.5 * angle), 0.0, 0.0, 0.0);
    q.vec()[axis] = s;
    return q;
  }
};

// A 4x4 homogeneous transform of doubles, column-major; 128 bytes, no
// virtual table. Rotation in the upper-left 3x3 block, translation in
// column 3.
class HTransform : public Eigen::Matrix4d {
 public:
  HTransform() : Eigen::Matrix4d(Eigen::Matrix4d::Identity()) {}
  template <typename OtherDerived>
  HTransform(const Eigen::MatrixBase<OtherDerived>& other) : Eigen::Matrix4d(other) {}
  template <typename OtherDerived>
  HTransform& operator=(const Eigen::MatrixBase<OtherDerived>& other) {
    Eigen::Matrix4d::operator=(other);
    return *this;
  }
};

// Position and orientation of the tool (or of a frame) in metres and a
// rotation matrix. The virtual `set` forms fill it from the host's many
// representations; the forwarding forms go through the virtual table so a
// derived pose (mc_pose) sees every one of them.
class TaskPosition {
 public:
  TaskPosition() : position(Eigen::Vector3d::Zero()), rotation(), vector(Vector6d::Zero()) {}
  TaskPosition(const TaskPosition&) = default;

  // Copies position and rotation only; `vector` belongs to the host and is
  // kept. Returns a copy of the result.
  TaskPosition operator=(const TaskPosition& other) {
    position = other.position;
    rotation = other.rotation;
    return *this;
  }

  // Slot 0: translation column and rotation block, no scaling.
  virtual void set(const HTransform& t) {
    position = t.block<3, 1>(0, 3);
    rotation = t.block<3, 3>(0, 0);
  }
  // Slot 1.
  virtual void set(Eigen::Vector3d p, Rotation r) {
    position = p;
    rotation = r;
  }
  // Slot 2: the same as slot 1 (forwarded, so a derived pose resets its
  // extra state here too).
  virtual void set(Eigen::Vector3d p, Eigen::Matrix3d m) { set(p, Rotation(m)); }
  // Slot 3: position p[0..2] and Euler angles e[0..2] about the axes i1, i2,
  // i3. With a non-zero scale: millimetres and degrees.
  virtual void set(double* p, double* e, int i1, int i2, int i3, UNIT_TYPE::SCALE s) {
    const double f = s != UNIT_TYPE::METER_RADIAN ? kMmToM : 1.0;
    position = Eigen::Vector3d(p[0] * f, p[1] * f, p[2] * f);
    rotation.Euler2Rot(e[0], e[1], e[2], i1, i2, i3, s);
  }
  // Slot 4.
  virtual void set(double* p, double* e, Eigen::Vector3i axes, UNIT_TYPE::SCALE s) {
    set(p, e, axes[0], axes[1], axes[2], s);
  }
  // Slot 5: v[0..2] position, v[3..5] angles.
  virtual void set(double* v, Eigen::Vector3i axes, UNIT_TYPE::SCALE s) {
    set(v, v + 3, axes[0], axes[1], axes[2], s);
  }
  // Slot 6.
  virtual void set(double* v, int i1, int i2, int i3, UNIT_TYPE::SCALE s) {
    set(v, v + 3, i1, i2, i3, s);
  }
  // Slot 7: as slot 3 with single-precision input.
  virtual void set(float* p, float* e, int i1, int i2, int i3, UNIT_TYPE::SCALE s) {
    double pd[3] = {p[0], p[1], p[2]};
    double ed[3] = {e[0], e[1], e[2]};
    set(pd, ed, i1, i2, i3, s);
  }
  // Slot 8.
  virtual void set(float* p, float* e, Eigen::Vector3i axes, UNIT_TYPE::SCALE s) {
    set(p, e, axes[0], axes[1], axes[2], s);
  }
  // Slot 9.
  virtual void set(float* v, Eigen::Vector3i axes, UNIT_TYPE::SCALE s) {
    set(v, v + 3, axes[0], axes[1], axes[2], s);
  }
  // Slot 10.
  virtual void set(float* v, int i1, int i2, int i3, UNIT_TYPE::SCALE s) {
    set(v, v + 3, i1, i2, i3, s);
  }
  // Slot 11: forwarded to slot 3, so a derived pose records the angles.
  virtual void set(Eigen::Vector3d p, Eigen::Vector3d e, int i1, int i2, int i3,
                   UNIT_TYPE::SCALE s) {
    double pd[3] = {p[0], p[1], p[2]};
    double ed[3] = {e[0], e[1], e[2]};
    set(pd, ed, i1, i2, i3, s);
  }
  // Slot 12.
  virtual void set(Eigen::Vector3d p, Eigen::Vector3d e, Eigen::Vector3i axes, UNIT_TYPE::SCALE s) {
    set(p, e, axes[0], axes[1], axes[2], s);
  }
  // Slot 13.
  virtual void set(Vector6d v, Eigen::Vector3i axes, UNIT_TYPE::SCALE s) {
    set(Eigen::Vector3d(v.head<3>()), Eigen::Vector3d(v.tail<3>()), axes, s);
  }
  // Slot 14.
  virtual void set(Vector6d v, int i1, int i2, int i3, UNIT_TYPE::SCALE s) {
    set(Eigen::Vector3d(v.head<3>()), Eigen::Vector3d(v.tail<3>()), i1, i2, i3, s);
  }
  // Slot 15: origin, no rotation.
  virtual void setInit() {
    position.setZero();
    rotation.setIdentity();
  }

  Eigen::Vector3d position;  // metres
  Rotation rotation;
  // Carried for the host; none of the operations here writes it.
  alignas(16) Vector6d vector;
};

// A linear and an angular velocity; `vector` holds both after asVector().
class TaskVelocity {
 public:
  // Zeroes linear and angular velocity, and `vector` too, so a copy of a
  // fresh velocity never carries indeterminate values (the layout is
  // unchanged).
  TaskVelocity()
      : linear(Eigen::Vector3d::Zero()),
        angular(Eigen::Vector3d::Zero()),
        vector(Vector6d::Zero()) {}

  Vector6d asVector() {
    vector.head<3>() = linear;
    vector.tail<3>() = angular;
    return vector;
  }

  Eigen::Vector3d linear;
  Eigen::Vector3d angular;
  alignas(16) Vector6d vector;
};

}  // namespace Mota

// A task pose that remembers how it was given: the Euler angles of the last
// Euler setter, and orientation state (angle-axis, quaternion) that every
// setter resets.
class mc_pose : public Mota::TaskPosition {
 public:
  mc_pose() { ResetExtra(false); }
  mc_pose(const mc_pose&) = default;
  mc_pose& operator=(const mc_pose& other) {
    Mota::TaskPosition::operator=(other);
    fromEuler = other.fromEuler;
    flags[0] = other.flags[0];
    flags[1] = other.flags[1];
    angleAxis = other.angleAxis;
    quaternion = other.quaternion;
    euler = other.euler;
    spare = other.spare;
    return *this;
  }

  using Mota::TaskPosition::set;

  void set(const Mota::HTransform& t) override {
    Mota::TaskPosition::set(t);
    ResetExtra(false);
  }
  void set(Eigen::Vector3d p, Mota::Rotation r) override {
    Mota::TaskPosition::set(p, r);
    ResetExtra(false);
  }
  void set(double* p, double* e, int i1, int i2, int i3, UNIT_TYPE::SCALE s) override {
    SetEuler(p[0], p[1], p[2], e[0], e[1], e[2], i1, i2, i3, s);
  }
  void set(double* v, int i1, int i2, int i3, UNIT_TYPE::SCALE s) override {
    SetEuler(v[0], v[1], v[2], v[3], v[4], v[5], i1, i2, i3, s);
  }
  void set(float* p, float* e, int i1, int i2, int i3, UNIT_TYPE::SCALE s) override {
    SetEuler(p[0], p[1], p[2], e[0], e[1], e[2], i1, i2, i3, s);
  }
  void set(float* v, int i1, int i2, int i3, UNIT_TYPE::SCALE s) override {
    SetEuler(v[0], v[1], v[2], v[3], v[4], v[5], i1, i2, i3, s);
  }
  void setInit() override {
    Mota::TaskPosition::setInit();
    ResetExtra(false);
  }

  bool fromEuler;
  uint8_t flags[2];
  Eigen::AngleAxisd angleAxis;
  Eigen::Quaterniond quaternion;  // x, y, z, w
  Eigen::Vector3d euler;          // radians
  uint64_t spare;

 private:
  void SetEuler(double px, double py, double pz, double a, double b, double c, int i1, int i2,
                int i3, UNIT_TYPE::SCALE s) {
    const bool scaled = s != UNIT_TYPE::METER_RADIAN;
    const double f = scaled ? Mota::kMmToM : 1.0;
    const double g = scaled ? Mota::kDegToRad : 1.0;
    position = Eigen::Vector3d(px * f, py * f, pz * f);
    ResetExtra(true);
    euler = Eigen::Vector3d(a * g, b * g, c * g);
    rotation.Euler2Rot(euler[0], euler[1], euler[2], i1, i2, i3, UNIT_TYPE::METER_RADIAN);
  }
  void ResetExtra(bool euler_given) {
    fromEuler = euler_given;
    flags[0] = flags[1] = 0;
    angleAxis = Eigen::AngleAxisd(0.0, Eigen::Vector3d::UnitX());
    quaternion = Eigen::Quaterniond(1.0, 0.0, 0.0, 0.0);
    euler.setZero();
    spare = 0;
  }
};

// The layout shared with the host.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(Mota::Rotation) == 72, "Rotation is 9 doubles");
static_assert(sizeof(Mota::HTransform) == 128, "HTransform is 16 doubles");
static_assert(sizeof(Mota::TaskPosition) == 160, "TaskPosition layout");
static_assert(alignof(Mota::TaskPosition) == 16, "TaskPosition alignment");
static_assert(offsetof(Mota::TaskPosition, position) == 8, "position offset");
static_assert(offsetof(Mota::TaskPosition, rotation) == 32, "rotation offset");
static_assert(offsetof(Mota::TaskPosition, vector) == 112, "vector offset");
static_assert(sizeof(Mota::TaskVelocity) == 96, "TaskVelocity layout");
static_assert(alignof(Mota::TaskVelocity) == 16, "TaskVelocity alignment");
static_assert(offsetof(Mota::TaskVelocity, linear) == 0, "linear offset");
static_assert(offsetof(Mota::TaskVelocity, angular) == 24, "angular offset");
static_assert(offsetof(Mota::TaskVelocity, vector) == 48, "vector offset");
static_assert(sizeof(mc_pose) == 272, "mc_pose layout");
static_assert(offsetof(mc_pose, fromEuler) == 160, "fromEuler offset");
static_assert(offsetof(mc_pose, flags) == 161, "flags offset");
static_assert(offsetof(mc_pose, angleAxis) == 168, "angleAxis offset");
static_assert(offsetof(mc_pose, quaternion) == 208, "quaternion offset");
static_assert(offsetof(mc_pose, euler) == 240, "euler offset");
static_assert(offsetof(mc_pose, spare) == 264, "spare offset");
static_assert(sizeof(Eigen::AngleAxisd) == 32, "angle-axis: axis then angle");
#pragma GCC diagnostic pop
