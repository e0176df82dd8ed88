// Command records decoded from bytes written at the packed offsets of the
// record tables, and the force-direction check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "MockRobotControlContext.h"
#include "support/test_module.h"

using ::testing::_;
using ::testing::StrEq;
using ::testing::StrictMock;

namespace {

// A record buffer filled with a pattern, written field by field.
class Record {
 public:
  explicit Record(size_t size = 64) : m_bytes(size, 0xEE) {}
  Record& Int32(size_t offset, int32_t v) { return Put(offset, &v, 4); }
  Record& Float(size_t offset, float v) { return Put(offset, &v, 4); }
  Record& Floats(size_t offset, std::initializer_list<float> v) {
    size_t o = offset;
    for (float f : v) Float(o, f), o += 4;
    return *this;
  }
  Record& Byte(size_t offset, uint8_t v) { return Put(offset, &v, 1); }
  void* Data() { return m_bytes.data(); }

 private:
  Record& Put(size_t offset, const void* v, size_t n) {
    std::memcpy(m_bytes.data() + offset, v, n);
    return *this;
  }
  std::vector<uint8_t> m_bytes;
};

Eigen::Vector6d V(double a, double b, double c, double d, double e, double f) {
  Eigen::Vector6d v;
  v << a, b, c, d, e, f;
  return v;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(CommandRecords, TypeIsTheLittleEndianInt32AtOffsetZero) {
  unsigned char bytes[8] = {0x04, 0x00, 0x00, 0x00, 0xFF};
  EXPECT_EQ(4, ControlModule::CheckCommandType(bytes));
  unsigned char negative[4] = {0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(-2, ControlModule::CheckCommandType(negative));
  EXPECT_EQ(0, ControlModule::CheckCommandType(nullptr));
}

TEST(CommandRecords, StartRecord) {
  Record r;
  r.Floats(2, {3000, -3000, 0.5f, 200, 100, 50}).Floats(26, {1, 2, 3, 4, 5, 6}).Float(50, 0.25f);
  Eigen::Vector6d k = Eigen::Vector6d::Zero(), f = Eigen::Vector6d::Zero();
  double t = 0;
  ControlModule::GetStartComplianceControlEvent(r.Data(), k, f, t);
  EXPECT_EQ(V(3000, -3000, 0.5, 200, 100, 50), k);  // negative stiffness unchanged
  EXPECT_EQ(V(1, 2, 3, 4, 5, 6), f);
  EXPECT_EQ(0.25, t);
}

TEST(CommandRecords, StiffnessAndFactorRecords) {
  Record s;
  s.Int32(0, 1).Floats(5, {10, 20, 30, 1, 2, 3}).Float(29, 1.5f);
  Eigen::Vector6d k;
  double t = 0;
  ControlModule::GetTargetStiffness(s.Data(), k, t);
  EXPECT_EQ(V(10, 20, 30, 1, 2, 3), k);
  EXPECT_EQ(1.5, t);

  Record f;
  f.Int32(0, 2).Floats(4, {0.1f, 2, 1, 1, 1, 0.5f}).Float(28, 0.125f);
  Eigen::Vector6d a, b;
  double ta = 0, tb = 0;
  ControlModule::GetTargetForceFactor(f.Data(), a, ta);
  ControlModule::GetTargetDampingFactor(f.Data(), b, tb);
  EXPECT_EQ(V(0.1f, 2, 1, 1, 1, 0.5), a);
  EXPECT_EQ(a, b);
  EXPECT_EQ(0.125, ta);
  EXPECT_EQ(ta, tb);
}

TEST(CommandRecords, ForceRecordFlagsAndRelativeByte) {
  Record r;
  r.Int32(0, 4).Byte(4, 0).Byte(5, 0).Byte(6, 0).Byte(7, 2).Byte(8, 1).Byte(9, 0).Byte(10, 255);
  r.Floats(11, {0, 0, -10, 0.5f, 0, 1}).Float(35, 0.5f).Byte(39, 1);
  Eigen::Vector6d f, d;
  double t = 0;
  bool relative = false;
  ControlModule::GetTargetForce(r.Data(), f, d, t, relative);
  EXPECT_EQ(V(0, 0, -10, 0.5, 0, 1), f);
  EXPECT_EQ(V(0, 0, 2, 1, 0, 255), d);
  EXPECT_EQ(0.5, t);
  EXPECT_TRUE(relative);
  for (uint8_t byte : {0, 2, 255}) {
    r.Byte(39, byte);
    ControlModule::GetTargetForce(r.Data(), f, d, t, relative);
    EXPECT_FALSE(relative) << int(byte);
  }
}

TEST(CommandRecords, ReleaseClearsForceAndDirectionKeepsStiffnessReadsTime) {
  Record r;
  r.Int32(0, 5).Float(35, 0.75f);
  Eigen::Vector6d k = V(1, 2, 3, 4, 5, 6), f = V(9, 9, 9, 9, 9, 9), d = V(1, 1, 1, 1, 1, 1);
  double t = 0;
  ControlModule::GetReleaseForce(r.Data(), k, f, d, t);
  EXPECT_EQ(V(1, 2, 3, 4, 5, 6), k);
  EXPECT_TRUE(f.isZero());
  EXPECT_TRUE(d.isZero());
  EXPECT_EQ(0.75, t);
}

TEST(CommandRecords, StopRefusesOnlyForTheByteOne) {
  unsigned char one = 1, zero = 0, two = 2;
  EXPECT_TRUE(ControlModule::GetStopComplianceControlEvent(&one));
  EXPECT_FALSE(ControlModule::GetStopComplianceControlEvent(&zero));
  EXPECT_FALSE(ControlModule::GetStopComplianceControlEvent(&two));
  EXPECT_FALSE(ControlModule::GetStopComplianceControlEvent(nullptr));
}

TEST(CommandRecords, NonFiniteFloatsAndNullRecordsLeaveTheOutputsAsTheyWere) {
  Record r;
  r.Floats(2, {kNaN, kInf, -kInf, 100, kNaN, 300})
      .Floats(26, {kNaN, 1, 1, 1, 1, 1})
      .Float(50, kNaN);
  Eigen::Vector6d k = V(1, 2, 3, 4, 5, 6), f = Eigen::Vector6d::Zero();
  double t = 0.3;
  ControlModule::GetStartComplianceControlEvent(r.Data(), k, f, t);
  EXPECT_EQ(V(1, 2, 3, 100, 5, 300), k);
  EXPECT_EQ(V(0, 1, 1, 1, 1, 1), f);
  EXPECT_EQ(0.3, t);

  Record s;
  s.Int32(0, 1).Floats(5, {kInf, 1, 1, 1, 1, 1}).Float(29, kInf);
  ControlModule::GetTargetStiffness(s.Data(), k, t);
  EXPECT_EQ(V(1, 1, 1, 1, 1, 1), k);
  EXPECT_EQ(0.3, t);

  Eigen::Vector6d d = V(1, 0, 0, 0, 0, 0);
  bool relative = true;
  ControlModule::GetTargetForce(nullptr, f, d, t, relative);
  ControlModule::GetReleaseForce(nullptr, k, f, d, t);
  ControlModule::GetTargetForceFactor(nullptr, f, t);
  ControlModule::GetStartComplianceControlEvent(nullptr, k, f, t);
  EXPECT_EQ(V(1, 0, 0, 0, 0, 0), d);
  EXPECT_TRUE(relative);
  EXPECT_EQ(0.3, t);
}

TEST(CommandRecords, ElementConversionsKeepTheIndexAndHonourTheAbsoluteFlag) {
  float fl[6] = {-1, 2, -3, 4, -5, 6};
  Eigen::Vector6d v;
  ControlModule::ChangeIndexTransOri(v, fl, false);
  EXPECT_EQ(V(-1, 2, -3, 4, -5, 6), v);
  ControlModule::ChangeIndexTransOri(v, fl, true);
  EXPECT_EQ(V(1, 2, 3, 4, 5, 6), v);

  float out[6];
  ControlModule::ChangeIndexTransOri(out, V(-1.5, 2, 3, 4, 5, -6), true);
  EXPECT_EQ(1.5f, out[0]);
  EXPECT_EQ(6.0f, out[5]);

  unsigned char bytes[6] = {0, 1, 2, 3, 254, 255};
  ControlModule::ChangeIndexTransOri(v, bytes, true);
  EXPECT_EQ(V(0, 1, 2, 3, 254, 255), v);

  int ints[6];
  ControlModule::ChangeIndexTransOri(ints, V(-2.9, 2.9, 1e20, -1e20, std::nan(""), 0.5), false);
  EXPECT_EQ(-2, ints[0]);
  EXPECT_EQ(2, ints[1]);
  EXPECT_EQ(std::numeric_limits<int32_t>::max(), ints[2]);
  EXPECT_EQ(std::numeric_limits<int32_t>::min(), ints[3]);
  EXPECT_EQ(0, ints[4]);
  EXPECT_EQ(0, ints[5]);
  ControlModule::ChangeIndexTransOri(ints, V(-2.9, 0, 0, 0, 0, 0), true);
  EXPECT_EQ(2, ints[0]);
}

TEST(CommandRecords, ForceDirectionsAreNormalisedAndNoneSetIsReported) {
  StrictMock<MockRobotControlContext> host;
  TestModule m(&host);
  Eigen::Vector6d d = V(2, 0.5, -0.7, 0.51, 0, 255);
  m.CheckForceDirection(d);
  EXPECT_EQ(V(1, 0, 1, 1, 0, 1), d);

  d = V(0, 0.5, -0.5, 0.2, 0, 0);
  EXPECT_CALL(host, ReportError(RC_ERROR_LEVEL_ERROR, RC_ERROR_FORCE_DIRECTION,
                                StrEq("The number of the setting force/moment directions must "
                                      "be at least one.")));
  m.CheckForceDirection(d);
  EXPECT_TRUE(d.isZero());
}
