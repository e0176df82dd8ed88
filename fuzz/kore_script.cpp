// kore-sim's script text: lines and words, and the words every command
// reads alike (numbers, durations, payloads). Any bytes give lines whose
// words hold no blank and no comment; numbers and durations come out within
// their bounds or are refused; a payload is never larger than the largest
// one kore-sim makes (the `file` form reads a file of this target's own,
// larger than that bound).
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Payload.h"
#include "ScriptParser.h"

namespace {

constexpr size_t kLargestPayload = 10000000;
const char* const kBigFile = "kore_script_big_file";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In the working directory of scripts/isolated, a fresh one.
  std::ofstream big(kBigFile, std::ios::binary | std::ios::trunc);
  const std::string block(1 << 20, 'b');
  for (size_t n = 0; n <= kLargestPayload; n += block.size()) big << block;
  if (!big) Fail("cannot write the large file (run inside scripts/isolated)");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const std::vector<kore::ScriptLine> lines =
      kore::ParseScript(reinterpret_cast<const char*>(data), size);
  size_t number = 0;
  for (const kore::ScriptLine& line : lines) {
    if (line.number != ++number) Fail("lines are not numbered one by one");
    if (line.text.find('\n') != std::string::npos) Fail("a line holds a newline");
    for (const std::string& w : line.words) {
      if (w.empty() || w.find_first_of(" \t\r#") != std::string::npos)
        Fail("a word holds a blank or a comment");
      long long n = 0;
      if (kore::ParseNumber(w, -1000, 1000, &n) && (n < -1000 || n > 1000))
        Fail("a number beyond its bounds");
      std::chrono::milliseconds d{0};
      if (kore::ParseDuration(w, &d) && (d.count() < 0 || d.count() > 86400000))
        Fail("a duration beyond a day");
    }
    if (line.words.empty()) continue;
    kore::Args words = line.words;
    for (size_t i = 0; i + 1 < words.size(); ++i)
      if (words[i] == "file") words[i + 1] = kBigFile;
    // The payload may start at any word ("send 30 text ...", "tcp-send 1 hex ...").
    for (size_t first = 0; first < words.size(); ++first) {
      std::string payload, error;
      if (kore::ParsePayload(words, first, true, &payload, &error) &&
          payload.size() > kLargestPayload)
        Fail("a payload larger than the largest one");
    }
  }
  return 0;
}
