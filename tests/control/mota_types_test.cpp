// Pose and velocity types: Euler rotations against rotations composed with
// Eigen, the setters and their units, mc_pose's state, and the layout read
// back as raw bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "Mota.h"

namespace {

constexpr double kPi = 3.141592653589793;

Eigen::Matrix3d AxisRotation(int axis, double angle) {
  return Eigen::AngleAxisd(angle, Eigen::Vector3d::Unit(axis)).toRotationMatrix();
}

double ReadDouble(const void* object, size_t offset) {
  double d;
  std::memcpy(&d, static_cast<const unsigned char*>(object) + offset, sizeof d);
  return d;
}

}  // namespace

TEST(Euler2Rot, NinetyDegreesAboutZInDegrees) {
  Mota::Rotation r;
  r.Euler2Rot(90, 0, 0, 2, 1, 2, UNIT_TYPE::MILLIMETER_DEGREE);
  Eigen::Matrix3d expected;
  expected.col(0) << 0, 1, 0;
  expected.col(1) << -1, 0, 0;
  expected.col(2) << 0, 0, 1;
  EXPECT_LT((r - expected).cwiseAbs().maxCoeff(), 1e-15);
  // Any non-zero scale means degrees.
  Mota::Rotation s;
  s.Euler2Rot(90, 0, 0, 2, 1, 2, static_cast<UNIT_TYPE::SCALE>(7));
  EXPECT_LT((s - expected).cwiseAbs().maxCoeff(), 1e-15);
}

TEST(Euler2Rot, ComposesIntrinsicRotationsInArgumentOrder) {
  Mota::Rotation r;
  r.Euler2Rot(0.3, -0.7, 1.1, 0, 1, 2, UNIT_TYPE::METER_RADIAN);
  const Eigen::Matrix3d xyz = AxisRotation(0, 0.3) * AxisRotation(1, -0.7) * AxisRotation(2, 1.1);
  const Eigen::Matrix3d zyx = AxisRotation(2, 1.1) * AxisRotation(1, -0.7) * AxisRotation(0, 0.3);
  EXPECT_LT((r - xyz).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_GT((r - zyx).cwiseAbs().maxCoeff(), 0.1);
}

TEST(Euler2Rot, AgreesWithAngleAxisProductsForEveryAxisOrder) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> angle(-2 * kPi, 2 * kPi);
  for (int i1 = 0; i1 < 3; ++i1)
    for (int i2 = 0; i2 < 3; ++i2)
      for (int i3 = 0; i3 < 3; ++i3)
        for (int n = 0; n < 20; ++n) {
          const double a = angle(rng), b = angle(rng), c = angle(rng);
          Mota::Rotation r;
          r.Euler2Rot(a, b, c, i1, i2, i3, UNIT_TYPE::METER_RADIAN);
          const Eigen::Matrix3d expected =
              AxisRotation(i1, a) * AxisRotation(i2, b) * AxisRotation(i3, c);
          ASSERT_LT((r - expected).cwiseAbs().maxCoeff(), 1e-13) << "axes " << i1 << i2 << i3;
          Mota::Rotation d;
          d.Euler2Rot(a * 180 / kPi, b * 180 / kPi, c * 180 / kPi, i1, i2, i3,
                      UNIT_TYPE::MILLIMETER_DEGREE);
          ASSERT_LT((d - expected).cwiseAbs().maxCoeff(), 1e-12);
        }
}

TEST(Euler2Rot, AnInvalidAxisCodeGivesTheIdentity) {
  for (int bad : {-1, 3, 17, INT_MAX, INT_MIN}) {
    Mota::Rotation r;
    r.Euler2Rot(0.5, 0.5, 0.5, 0, 1, 2, UNIT_TYPE::METER_RADIAN);
    r.Euler2Rot(0.5, 0.5, 0.5, bad, 1, 2, UNIT_TYPE::METER_RADIAN);
    EXPECT_TRUE(r.isIdentity()) << bad;
    r.Euler2Rot(0.5, 0.5, 0.5, 0, bad, 2, UNIT_TYPE::METER_RADIAN);
    EXPECT_TRUE(r.isIdentity()) << bad;
    r.Euler2Rot(0.5, 0.5, 0.5, 0, 1, bad, UNIT_TYPE::METER_RADIAN);
    EXPECT_TRUE(r.isIdentity()) << bad;
  }
  // Through a setter: the pose is still well defined.
  Mota::TaskPosition p;
  double v[6] = {1, 2, 3, 10, 20, 30};
  p.set(v, 5, 1, 2, UNIT_TYPE::METER_RADIAN);
  EXPECT_TRUE(p.rotation.isIdentity());
  EXPECT_EQ(Eigen::Vector3d(1, 2, 3), p.position);
}

TEST(TaskPosition, SettersConvertMillimetresAndDegrees) {
  const Eigen::Matrix3d rz90 = AxisRotation(2, kPi / 2);
  auto check = [&](const Mota::TaskPosition& p, const char* form) {
    EXPECT_LT((p.position - Eigen::Vector3d(1.0, 0.0, 0.5)).norm(), 1e-15) << form;
    EXPECT_LT((p.rotation - rz90).cwiseAbs().maxCoeff(), 1e-7) << form;
  };
  const auto mmdeg = UNIT_TYPE::MILLIMETER_DEGREE;
  double pd[3] = {1000, 0, 500}, ed[3] = {0, 0, 90}, vd[6] = {1000, 0, 500, 0, 0, 90};
  float pf[3] = {1000, 0, 500}, ef[3] = {0, 0, 90}, vf[6] = {1000, 0, 500, 0, 0, 90};
  const Eigen::Vector3i xyz(0, 1, 2);
  Eigen::Vector6d v6;
  v6 << 1000, 0, 500, 0, 0, 90;
  Mota::TaskPosition p;
  p.set(pd, ed, 0, 1, 2, mmdeg), check(p, "slot 3");
  p.set(pd, ed, xyz, mmdeg), check(p, "slot 4");
  p.set(vd, xyz, mmdeg), check(p, "slot 5");
  p.set(vd, 0, 1, 2, mmdeg), check(p, "slot 6");
  p.set(pf, ef, 0, 1, 2, mmdeg), check(p, "slot 7");
  p.set(pf, ef, xyz, mmdeg), check(p, "slot 8");
  p.set(vf, xyz, mmdeg), check(p, "slot 9");
  p.set(vf, 0, 1, 2, mmdeg), check(p, "slot 10");
  p.set(Eigen::Vector3d(1000, 0, 500), Eigen::Vector3d(0, 0, 90), 0, 1, 2, mmdeg),
      check(p, "slot 11");
  p.set(Eigen::Vector3d(1000, 0, 500), Eigen::Vector3d(0, 0, 90), xyz, mmdeg), check(p, "slot 12");
  p.set(v6, xyz, mmdeg), check(p, "slot 13");
  p.set(v6, 0, 1, 2, mmdeg), check(p, "slot 14");
  // Metres and radians are taken as they are.
  double m[6] = {1.0, 0.0, 0.5, 0.0, 0.0, kPi / 2};
  p.set(m, 0, 1, 2, UNIT_TYPE::METER_RADIAN), check(p, "radians");

  Mota::HTransform t;
  t.block<3, 3>(0, 0) = rz90;
  t.col(3) << 1, 2, 3, 1;
  p.set(t);
  EXPECT_EQ(Eigen::Vector3d(1, 2, 3), p.position);
  EXPECT_EQ(rz90, static_cast<const Eigen::Matrix3d&>(p.rotation));
  p.set(Eigen::Vector3d(4, 5, 6), Eigen::Matrix3d(rz90.transpose()));
  EXPECT_EQ(Eigen::Vector3d(4, 5, 6), p.position);
  EXPECT_EQ(Eigen::Matrix3d(rz90.transpose()), static_cast<const Eigen::Matrix3d&>(p.rotation));
  p.setInit();
  EXPECT_EQ(Eigen::Vector3d::Zero(), p.position);
  EXPECT_TRUE(p.rotation.isIdentity());
}

TEST(TaskPosition, AssignmentCopiesPoseButNotVector) {
  Mota::TaskPosition a, b;
  a.position << 1, 2, 3;
  a.rotation = AxisRotation(0, 0.4);
  a.vector.setConstant(7.0);
  b.vector.setConstant(-1.0);
  const Mota::TaskPosition copy = (b = a);
  EXPECT_EQ(a.position, b.position);
  EXPECT_EQ(static_cast<const Eigen::Matrix3d&>(a.rotation),
            static_cast<const Eigen::Matrix3d&>(b.rotation));
  EXPECT_EQ(Eigen::Vector6d::Constant(-1.0), b.vector);
  EXPECT_EQ(a.position, copy.position);
}

TEST(TaskPosition, LayoutReadAsRawBytes) {
  Mota::TaskPosition p;
  p.position << 1.5, 2.5, 3.5;
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) p.rotation(r, c) = 10 * r + c;
  p.vector << 11, 12, 13, 14, 15, 16;
  EXPECT_EQ(1.5, ReadDouble(&p, 8));
  EXPECT_EQ(3.5, ReadDouble(&p, 24));
  // Column-major: (r, c) at 32 + 8 (3c + r).
  EXPECT_EQ(10.0 * 1 + 2, ReadDouble(&p, 32 + 8 * (3 * 2 + 1)));
  EXPECT_EQ(10.0 * 2 + 0, ReadDouble(&p, 32 + 8 * 2));
  EXPECT_EQ(11.0, ReadDouble(&p, 112));
  EXPECT_EQ(16.0, ReadDouble(&p, 152));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(&p) % 16);

  Mota::HTransform t;
  t.col(3) << 7, 8, 9, 1;
  t(2, 1) = 5;
  EXPECT_EQ(7.0, ReadDouble(&t, 96));
  EXPECT_EQ(9.0, ReadDouble(&t, 112));
  EXPECT_EQ(5.0, ReadDouble(&t, 32 + 16));

  Mota::TaskVelocity v;
  v.linear << 1, 2, 3;
  v.angular << 4, 5, 6;
  const Eigen::Vector6d whole = v.asVector();
  EXPECT_EQ(1.0, ReadDouble(&v, 0));
  EXPECT_EQ(4.0, ReadDouble(&v, 24));
  EXPECT_EQ(6.0, ReadDouble(&v, 40));
  EXPECT_EQ(1.0, ReadDouble(&v, 48));
  EXPECT_EQ(6.0, ReadDouble(&v, 88));
  EXPECT_EQ(6.0, whole[5]);
}

TEST(TaskVelocity, ConstructorZeroesTheVelocitiesAndAsVectorFillsTheVector) {
  Mota::TaskVelocity v;
  EXPECT_EQ(Eigen::Vector3d::Zero(), v.linear);
  EXPECT_EQ(Eigen::Vector3d::Zero(), v.angular);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(&v.vector) % 16);
  EXPECT_EQ(Eigen::Vector6d::Zero(), v.asVector());
  v.angular << 1, 2, 3;
  EXPECT_EQ(3.0, v.asVector()[5]);
  EXPECT_EQ(3.0, v.vector[5]);
}

TEST(McPose, EulerSettersRecordTheAnglesAndEveryOtherSetterResets) {
  mc_pose p;
  double v[6] = {0, 0, 0, 90, 0, 0};
  p.set(v, 0, 1, 2, UNIT_TYPE::MILLIMETER_DEGREE);
  EXPECT_TRUE(p.fromEuler);
  EXPECT_NEAR(kPi / 2, p.euler[0], 1e-15);
  EXPECT_EQ(0.0, p.euler[1]);
  EXPECT_LT((p.rotation - AxisRotation(0, kPi / 2)).cwiseAbs().maxCoeff(), 1e-15);

  // Garbage in the extra state is reset by every setter.
  p.flags[0] = p.flags[1] = 0xAB;
  p.spare = 99;
  p.quaternion.coeffs() << 1, 2, 3, 4;
  p.angleAxis = Eigen::AngleAxisd(1.0, Eigen::Vector3d::UnitZ());
  p.setInit();
  EXPECT_FALSE(p.fromEuler);
  EXPECT_EQ(Eigen::Vector3d::Zero(), p.euler);
  EXPECT_EQ(0, p.flags[0] + p.flags[1]);
  EXPECT_EQ(0u, p.spare);
  EXPECT_EQ(Eigen::Vector4d(0, 0, 0, 1), p.quaternion.coeffs());
  EXPECT_EQ(Eigen::Vector3d::UnitX(), p.angleAxis.axis());
  EXPECT_EQ(0.0, p.angleAxis.angle());
  EXPECT_TRUE(p.rotation.isIdentity());

  // Forms mc_pose does not override reach its overrides through the virtual
  // table, also through a base pointer.
  Mota::TaskPosition* base = &p;
  base->set(v, Eigen::Vector3i(0, 1, 2), UNIT_TYPE::MILLIMETER_DEGREE);
  EXPECT_TRUE(p.fromEuler);
  float f[6] = {0, 0, 0, 0, 45, 0};
  base->set(f, Eigen::Vector3i(0, 1, 2), UNIT_TYPE::MILLIMETER_DEGREE);
  EXPECT_NEAR(kPi / 4, p.euler[1], 1e-7);
  base->set(Mota::HTransform());
  EXPECT_FALSE(p.fromEuler);
  EXPECT_EQ(Eigen::Vector3d::Zero(), p.euler);
  base->set(Eigen::Vector3d(1, 1, 1), Eigen::Vector3d(0.1, 0.2, 0.3), 0, 1, 2,
            UNIT_TYPE::METER_RADIAN);
  EXPECT_TRUE(p.fromEuler);
  EXPECT_EQ(Eigen::Vector3d(0.1, 0.2, 0.3), p.euler);
  base->set(Eigen::Vector3d(1, 1, 1), Mota::Rotation());
  EXPECT_FALSE(p.fromEuler);
}

TEST(McPose, LayoutReadAsRawBytes) {
  mc_pose p;
  double v[6] = {0, 0, 0, 10, 20, 30};
  p.set(v, 0, 1, 2, UNIT_TYPE::METER_RADIAN);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&p);
  EXPECT_EQ(1, bytes[160]);
  EXPECT_EQ(1.0, ReadDouble(&p, 168));   // axis x
  EXPECT_EQ(0.0, ReadDouble(&p, 192));   // angle
  EXPECT_EQ(1.0, ReadDouble(&p, 232));   // quaternion w
  EXPECT_EQ(10.0, ReadDouble(&p, 240));  // euler
  EXPECT_EQ(30.0, ReadDouble(&p, 256));
}
