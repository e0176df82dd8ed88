#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "Payload.h"
#include "ScriptParser.h"

namespace {

using Words = std::vector<std::string>;

struct PayloadCase {
  const char* name;
  Words words;  // after the command name
  bool ok;
  std::string bytes;
};

void PrintTo(const PayloadCase& c, std::ostream* os) {
  *os << c.name;
}

class PayloadWords : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PayloadWords, GiveTheBytesOrAnError) {
  const PayloadCase& c = GetParam();
  std::string payload = "stale", error;
  EXPECT_EQ(kore::ParsePayload(c.words, 0, false, &payload, &error), c.ok) << error;
  if (c.ok) {
    EXPECT_EQ(payload, c.bytes);
  } else {
    EXPECT_FALSE(error.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PayloadWords,
    ::testing::Values(
        PayloadCase{"text", {"text", "hello", "robot"}, true, "hello robot"},
        PayloadCase{"hex", {"hex", "00ff", "7A"}, true, std::string("\x00\xff\x7a", 3)},
        PayloadCase{"u16", {"u16", "0x1234", "65535"}, true, "\x34\x12\xff\xff"},
        PayloadCase{"u32", {"u32", "4294967295"}, true, "\xff\xff\xff\xff"},
        PayloadCase{"pattern", {"pattern", "3"}, true, "aho"}, PayloadCase{"none", {}, false, ""},
        PayloadCase{"odd_hex", {"hex", "abc"}, false, ""},
        PayloadCase{"signed_hex", {"hex", "-1"}, false, ""},
        PayloadCase{"u8_too_big", {"u8", "256"}, false, ""},
        PayloadCase{"u16_negative", {"u16", "-1"}, false, ""},
        PayloadCase{"u32_too_big", {"u32", "4294967296"}, false, ""},
        PayloadCase{"pattern_too_long", {"pattern", "10000001"}, false, ""},
        PayloadCase{"missing_file", {"file", "/nonexistent/payload"}, false, ""},
        PayloadCase{"unknown_kind", {"base64", "AAAA"}, false, ""},
        PayloadCase{"text_line_end", {"text", "ok\\r\\n"}, true, "ok\r\n"},
        PayloadCase{"text_escapes", {"text", "a\\tb\\\\\\x00"}, true, std::string("a\tb\\\0", 5)},
        PayloadCase{"text_bad_escape", {"text", "a\\q"}, false, ""},
        PayloadCase{"text_short_hex", {"text", "\\x4"}, false, ""}),
    [](const ::testing::TestParamInfo<PayloadCase>& info) { return info.param.name; });

TEST(PayloadWords, FileAndEmptyWhenAllowed) {
  const std::string path = ::testing::TempDir() + "kore_words_payload.bin";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite("a\0b", 1, 3, f);
  std::fclose(f);
  std::string payload, error;
  ASSERT_TRUE(kore::ParsePayload({"file", path}, 0, false, &payload, &error)) << error;
  EXPECT_EQ(payload, std::string("a\0b", 3));
  std::remove(path.c_str());
  EXPECT_TRUE(kore::ParsePayload({"send", "20"}, 2, true, &payload, &error));
  EXPECT_TRUE(payload.empty());
}

TEST(DurationWords, UnitsAndLimits) {
  std::chrono::milliseconds d;
  ASSERT_TRUE(kore::ParseDuration("1.5s", &d));
  EXPECT_EQ(d.count(), 1500);
  ASSERT_TRUE(kore::ParseDuration("250", &d));
  EXPECT_EQ(d.count(), 250);
  ASSERT_TRUE(kore::ParseDuration("2min", &d));
  EXPECT_EQ(d.count(), 120000);
  for (const char* bad : {"", "-1s", "5h", "nan", "2days", "1e9s"})
    EXPECT_FALSE(kore::ParseDuration(bad, &d)) << bad;
}

TEST(RefusedWords, NameTheValueAndTheLimit) {
  long long n;
  std::chrono::milliseconds d;
  std::string error;
  EXPECT_FALSE(kore::ParseNumberArg("port", "70000", 1, 65535, &n, &error));
  EXPECT_EQ(error, "port 70000 is out of range 1..65535");
  EXPECT_FALSE(kore::ParseNumberArg("port", "8o", 1, 65535, &n, &error));
  EXPECT_EQ(error, "port \"8o\" is not a number (1..65535)");
  EXPECT_FALSE(kore::ParseDurationArg("timeout", "3days", &d, &error));
  EXPECT_NE(error.find("\"3days\""), std::string::npos) << error;
  std::string payload;
  EXPECT_FALSE(kore::ParsePayload({"u8", "300"}, 0, false, &payload, &error));
  EXPECT_EQ(error, "u8 300 is out of range 0..255");
}

TEST(ScriptText, LinesWordsAndComments) {
  const std::string text = "wait 2s # pause\r\n\n  # only a comment\nsay a\tb";
  auto lines = kore::ParseScript(text.data(), text.size());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].words, (Words{"wait", "2s"}));
  EXPECT_TRUE(lines[1].words.empty());
  EXPECT_TRUE(lines[2].words.empty());
  EXPECT_EQ(lines[3].number, 4u);
  EXPECT_EQ(lines[3].text, "say a\tb");
  EXPECT_EQ(lines[3].words, (Words{"say", "a", "b"}));
}

}  // namespace
