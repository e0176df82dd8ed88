// CNDKMessage: an owned, deep-copied byte buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "NDKMessage.h"

using VeloFramework::CNDKMessage;

TEST(NdkMessage, CopiesAreDeepAndIndependent) {
  char src[] = {'a', '\0', 'b', 'c'};
  CNDKMessage m(src, 4);
  src[0] = 'z';  // the message owns its own copy
  ASSERT_EQ(m.GetLength(), 4);
  EXPECT_EQ(std::memcmp(m.GetBuffer(), "a\0bc", 4), 0);

  CNDKMessage copy(m);
  CNDKMessage assigned;
  assigned = m;
  EXPECT_NE(copy.GetBuffer(), m.GetBuffer());
  EXPECT_NE(assigned.GetBuffer(), m.GetBuffer());
  m.SetBuffer("xy", 2);
  EXPECT_EQ(copy.GetLength(), 4);
  EXPECT_EQ(std::memcmp(copy.GetBuffer(), "a\0bc", 4), 0);
  EXPECT_EQ(std::memcmp(assigned.GetBuffer(), "a\0bc", 4), 0);
  EXPECT_EQ(std::memcmp(m.GetBuffer(), "xy", 2), 0);
}

TEST(NdkMessage, SelfAssignmentAndSelfSourceKeepBytes) {
  CNDKMessage m("hello", 5);
  CNDKMessage& alias = m;
  m = alias;
  ASSERT_EQ(m.GetLength(), 5);
  EXPECT_EQ(std::memcmp(m.GetBuffer(), "hello", 5), 0);
  // A source inside the message's own buffer stays valid while copying.
  m.SetBuffer(static_cast<char*>(m.GetBuffer()) + 1, 3);
  ASSERT_EQ(m.GetLength(), 3);
  EXPECT_EQ(std::memcmp(m.GetBuffer(), "ell", 3), 0);
}

TEST(NdkMessage, EmptyMessagesHaveANullBuffer) {
  CNDKMessage empty;
  EXPECT_EQ(empty.GetBuffer(), nullptr);
  EXPECT_EQ(empty.GetLength(), 0);
  CNDKMessage zero("abc", 0);
  EXPECT_EQ(zero.GetBuffer(), nullptr);
  CNDKMessage copy(empty);
  EXPECT_EQ(copy.GetBuffer(), nullptr);
  CNDKMessage full("abc", 3);
  full = empty;
  EXPECT_EQ(full.GetBuffer(), nullptr);
  EXPECT_EQ(full.GetLength(), 0);
  full.SetBuffer("abc", 3);
  full.SetBuffer(nullptr, 10);
  EXPECT_EQ(full.GetBuffer(), nullptr);
  EXPECT_EQ(full.GetLength(), 0);
}
