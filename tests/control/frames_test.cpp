// Frame rotations between base, tool, world and user frames, and the pose
// error vector checked against an independent computation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "MockRobotControlContext.h"
#include "support/test_module.h"

using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;

namespace {

constexpr double kPi = 3.141592653589793;

Eigen::Matrix3d Rot(double angle, const Eigen::Vector3d& axis) {
  return Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
}

Mota::TaskPosition Frame(const Eigen::Matrix3d& r) {
  Mota::TaskPosition p;
  p.rotation = r;
  p.position << 9, 9, 9;  // never used
  return p;
}

// A host whose frames are all different rotations.
class FramesTest : public ::testing::Test {
 protected:
  FramesTest() : m(&host) {
    ON_CALL(host, getR0()).WillByDefault(Return(tool));
    ON_CALL(host, getBaseToWorld()).WillByDefault(Return(Frame(world)));
    ON_CALL(host, getWorldToBase()).WillByDefault(Return(Frame(world.transpose())));
    ON_CALL(host, getHT_base2ucart(_)).WillByDefault([this](int i) { return Frame(User(i)); });
    ON_CALL(host, getHT_ucart2base(_)).WillByDefault([this](int i) {
      return Frame(User(i).transpose());
    });
    ON_CALL(host, getRefCoord(REF_MODE_COMPLIANCE)).WillByDefault([this](REF_COORD_MODE) {
      return ref;
    });
  }
  Eigen::Matrix3d User(int i) const { return Rot(0.2 * (i + 1), Eigen::Vector3d(1, 2, i)); }

  NiceMock<MockRobotControlContext> host;
  TestModule m;
  const Eigen::Matrix3d tool = Rot(0.7, Eigen::Vector3d(1, -1, 0.5));
  const Eigen::Matrix3d world = Rot(-1.1, Eigen::Vector3d(0.3, 1, 0));
  _REF_COORD ref{COORD_BASE, 0, 0};
};

// The 3x3 block of m at (r, c).
Eigen::Matrix3d B(const Eigen::Matrix6d& m, int r, int c) {
  return m.block(r, c, 3, 3);
}

Eigen::Matrix6d Marked() {
  Eigen::Matrix6d r;
  for (int i = 0; i < 36; ++i) r(i) = 100 + i;
  return r;
}

}  // namespace

TEST_F(FramesTest, UpdateCoordRotWritesOnlyTheDiagonalBlocksOfNonBaseFrames) {
  Eigen::Matrix6d r = Eigen::Matrix6d::Identity();
  ref = {COORD_BASE, 0, 0};
  m.UpdateCoordRot(r, REF_MODE_COMPLIANCE);
  EXPECT_TRUE(r.isIdentity());

  const struct {
    int type;
    Eigen::Matrix3d expected;
  } cases[] = {{COORD_TOOL, tool}, {COORD_WORLD, world}, {COORD_USER, User(4)}};
  for (const auto& c : cases) {
    ref = {c.type, 4, 0};
    r = Marked();
    m.UpdateCoordRot(r, REF_MODE_COMPLIANCE);
    EXPECT_TRUE(B(r, 0, 0).isApprox(c.expected)) << c.type;
    EXPECT_TRUE(B(r, 3, 3).isApprox(c.expected)) << c.type;
    EXPECT_EQ(B(Marked(), 0, 3), B(r, 0, 3));
    EXPECT_EQ(B(Marked(), 3, 0), B(r, 3, 0));
  }
  // Back to base: the last rotation stays.
  ref = {COORD_BASE, 0, 0};
  m.UpdateCoordRot(r, REF_MODE_COMPLIANCE);
  EXPECT_TRUE(B(r, 0, 0).isApprox(User(4)));
  ref = {17, 0, 0};
  m.UpdateCoordRot(r, REF_MODE_COMPLIANCE);
  EXPECT_TRUE(B(r, 0, 0).isApprox(User(4)));
}

TEST_F(FramesTest, UpdateCoordRotReadsTheUserIndexAgainForEachBlock) {
  Eigen::Matrix6d r = Eigen::Matrix6d::Identity();
  EXPECT_CALL(host, getRefCoord(REF_MODE_COMPLIANCE))
      .WillOnce(Return(_REF_COORD{COORD_USER, 1, 0}))
      .WillOnce(Return(_REF_COORD{COORD_USER, 2, 0}))
      .WillOnce(Return(_REF_COORD{COORD_USER, 3, 0}));
  m.UpdateCoordRot(r, REF_MODE_COMPLIANCE);
  EXPECT_TRUE(B(r, 0, 0).isApprox(User(2)));
  EXPECT_TRUE(B(r, 3, 3).isApprox(User(3)));
}

TEST_F(FramesTest, ChangeCoordinateRotatesBothHalvesOfAVector) {
  Eigen::Vector6d in, out;
  in << 1, 2, 3, -0.1, 0.2, 0.3;
  m.ChangeCoordinate({COORD_BASE, 0, 0}, in, out);
  EXPECT_EQ(in, out);
  m.ChangeCoordinate({42, 0, 0}, in, out);
  EXPECT_EQ(in, out);
  m.ChangeCoordinate({COORD_TOOL, 0, 0}, in, out);
  EXPECT_TRUE(out.head<3>().isApprox(tool * in.head<3>()));
  EXPECT_TRUE(out.tail<3>().isApprox(tool * in.tail<3>()));
  m.ChangeCoordinate({COORD_WORLD, 0, 0}, in, out);
  EXPECT_TRUE(out.head<3>().isApprox(world * in.head<3>()));
  // The user frame comes from the host's compliance reference, not the
  // argument's index.
  ref = {COORD_USER, 5, 0};
  m.ChangeCoordinate({COORD_USER, 1, 0}, in, out);
  EXPECT_TRUE(out.head<3>().isApprox(User(5) * in.head<3>()));
  EXPECT_TRUE(out.tail<3>().isApprox(User(5) * in.tail<3>()));
  // In place.
  Eigen::Vector6d same = in;
  m.ChangeCoordinate({COORD_TOOL, 0, 0}, same, same);
  EXPECT_TRUE(same.head<3>().isApprox(tool * in.head<3>()));
}

TEST_F(FramesTest, ChangeCoordinateTurnsADiagonalGainIntoTheFrame) {
  Eigen::Vector6d d;
  d << 100, 200, 300, 1, 2, 3;
  Eigen::Matrix6d out;
  m.ChangeCoordinate({COORD_BASE, 0, 0}, d, out);
  EXPECT_EQ(ControlModule::DiagonalVectoMat6D(d), out);
  ref = {COORD_USER, 2, 0};
  for (int type : {COORD_TOOL, COORD_WORLD, COORD_USER}) {
    const Eigen::Matrix3d r = type == COORD_TOOL ? tool : type == COORD_WORLD ? world : User(2);
    m.ChangeCoordinate({type, 0, 0}, d, out);
    EXPECT_TRUE(B(out, 0, 0).isApprox(r * d.head<3>().asDiagonal() * r.transpose()));
    EXPECT_TRUE(B(out, 3, 3).isApprox(r * d.tail<3>().asDiagonal() * r.transpose()));
    EXPECT_TRUE(B(out, 0, 3).isZero());
    EXPECT_TRUE(B(out, 3, 0).isZero());
  }
  // Equal entries in a block are the same in every frame.
  d << 50, 50, 50, 7, 7, 7;
  m.ChangeCoordinate({COORD_TOOL, 0, 0}, d, out);
  EXPECT_TRUE(out.isApprox(ControlModule::DiagonalVectoMat6D(d)));
}

TEST_F(FramesTest, VelocitiesBetweenBaseAndUserFramesForEveryFrameType) {
  Mota::TaskVelocity in, out;
  in.linear << 1, 2, 3;
  in.angular << -1, 0.5, 2;
  const _REF_COORD user{COORD_USER, 3, 0};
  struct Case {
    _REF_COORD coord;
    Eigen::Matrix3d toUser, toBase;
  } cases[] = {
      {{COORD_BASE, 0, 0}, Eigen::Matrix3d::Identity(), Eigen::Matrix3d::Identity()},
      {{COORD_TOOL, 0, 0}, tool.transpose(), tool},
      // The world frame uses the same matrix both ways.
      {{COORD_WORLD, 0, 0}, world.transpose(), world.transpose()},
      {user, User(3).transpose(), User(3)},
  };
  for (const Case& c : cases) {
    m.Base2UserCoordinate(c.coord, in, out);
    EXPECT_TRUE(out.linear.isApprox(c.toUser * in.linear)) << c.coord.type;
    EXPECT_TRUE(out.angular.isApprox(c.toUser * in.angular)) << c.coord.type;
    m.User2BaseCoordniate(c.coord, in, out);
    EXPECT_TRUE(out.linear.isApprox(c.toBase * in.linear)) << c.coord.type;
    EXPECT_TRUE(out.angular.isApprox(c.toBase * in.angular)) << c.coord.type;
  }
  // An unknown type leaves the output as it was; `vector` is never touched.
  out.linear << 7, 7, 7;
  out.vector.setConstant(5);
  m.Base2UserCoordinate({9, 0, 0}, in, out);
  m.User2BaseCoordniate({9, 0, 0}, in, out);
  EXPECT_EQ(Eigen::Vector3d(7, 7, 7), out.linear);
  m.Base2UserCoordinate({COORD_TOOL, 0, 0}, in, out);
  EXPECT_EQ(Eigen::Vector6d::Constant(5), out.vector);
}

TEST_F(FramesTest, AngularHalfIsConvertedBeforeTheLinearHalf) {
  Mota::TaskVelocity in, out;
  in.linear << 1, 0, 0;
  in.angular << 1, 0, 0;
  EXPECT_CALL(host, getR0())
      .WillOnce(Return(Rot(kPi / 2, Eigen::Vector3d::UnitZ())))
      .WillOnce(Return(Eigen::Matrix3d::Identity()));
  m.User2BaseCoordniate({COORD_TOOL, 0, 0}, in, out);
  EXPECT_TRUE(out.angular.isApprox(Eigen::Vector3d(0, 1, 0)));
  EXPECT_TRUE(out.linear.isApprox(Eigen::Vector3d(1, 0, 0)));
}

TEST(PoseError, IdenticalPosesGiveZeroAndAHalfTurnGivesPi) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  Mota::TaskPosition a;
  a.position << 0.3, -0.2, 0.8;
  a.rotation = Rot(0.9, Eigen::Vector3d(1, 2, 3));
  EXPECT_EQ(Eigen::Vector6d::Zero(), m.CalPoseError(a, a));
  Mota::TaskPosition b = a;
  b.rotation = Rot(kPi, Eigen::Vector3d::UnitZ()) * a.rotation;
  const Eigen::Vector6d e = m.CalPoseError(a, b);
  EXPECT_NEAR(kPi, e.tail<3>().norm(), 1e-9);
  EXPECT_NEAR(kPi, std::fabs(e[5]), 1e-9);
  EXPECT_TRUE(e.head<3>().isZero());
}

TEST(PoseError, RandomPosesAgreeWithTheRotationThatTurnsMeasuredIntoTarget) {
  NiceMock<MockRobotControlContext> host;
  TestModule m(&host);
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> u(-1, 1);
  std::uniform_real_distribution<double> angle(0, 3.1);
  for (int n = 0; n < 500; ++n) {
    Mota::TaskPosition a, b;
    a.position << u(rng), u(rng), u(rng);
    b.position << u(rng), u(rng), u(rng);
    a.rotation = Rot(angle(rng), Eigen::Vector3d(u(rng), u(rng), u(rng)));
    b.rotation = Rot(angle(rng), Eigen::Vector3d(u(rng), u(rng), u(rng)));
    const Eigen::Vector6d e = m.CalPoseError(a, b);
    EXPECT_TRUE(e.head<3>().isApprox(a.position - b.position));
    // Rotating the measured orientation by e turns it into the target.
    const double theta = e.tail<3>().norm();
    ASSERT_LE(theta, kPi + 1e-9);
    const Eigen::Matrix3d turned = Rot(theta, e.tail<3>()) * b.rotation;
    EXPECT_LT((turned - a.rotation).cwiseAbs().maxCoeff(), 1e-9) << n;
  }
  Mota::TaskVelocity va, vb;
  va.linear << 1, 2, 3;
  va.angular << 4, 5, 6;
  vb.linear << 1, 1, 1;
  vb.angular << 1, 1, 1;
  Eigen::Vector6d expected;
  expected << 0, 1, 2, 3, 4, 5;
  EXPECT_EQ(expected, m.CalVelError(va, vb));
}
