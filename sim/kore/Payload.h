// The words of kore-sim's commands: numbers, durations and payloads (`send`,
// and the data of the user TCP commands), parsed in one place so every
// command reads them alike.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace kore {

// A whole decimal, octal (0...) or hexadecimal (0x...) number in [min, max].
bool ParseNumber(const std::string& text, long long min, long long max, long long* out);

// ParseNumber that says why it refused: on false, *error reads e.g.
// `port 70000 is out of range 1..65535` or `port "abc" is not a number`,
// `what` naming the value.
bool ParseNumberArg(const std::string& what, const std::string& text, long long min, long long max,
                    long long* out, std::string* error);

// The largest payload the words can give, in bytes.
constexpr size_t kMaxPayloadBytes = 10000000;

// Bytes from words[first...]:
//   text WORDS...      the words joined by single blanks; \n, \r, \t, \\ and
//                      \xHH stand for a line feed, a carriage return, a tab, a
//                      backslash and any byte (`text hello\r\n` ends a line)
//   hex BYTES...       hexadecimal digits, blanks between them ignored
//   u8|u16|u32 NUMS... each number as 1, 2 or 4 little-endian bytes
//   pattern N          N bytes of the repeating test pattern (N <= kMaxPayloadBytes)
//   file PATH          the file's contents (refused when larger than
//                      kMaxPayloadBytes, so /dev/zero or a huge file cannot
//                      take the memory)
// No words at all give an empty payload when `allowEmpty`, else an error.
// On failure returns false with the reason in *error.
bool ParsePayload(const std::vector<std::string>& words, size_t first, bool allowEmpty,
                  std::string* payload, std::string* error);

// The usage text of the forms above, for help lines.
constexpr const char* kPayloadUsage =
    "text WORDS | hex BYTES | u8|u16|u32 NUMBERS | pattern N | file PATH";

// "200ms", "2s", "1.5s", "1min", "500" (ms), up to a day. False when not a
// duration.
bool ParseDuration(const std::string& text, std::chrono::milliseconds* out);

// ParseDuration that says why it refused, in *error, naming the value `what`.
bool ParseDurationArg(const std::string& what, const std::string& text,
                      std::chrono::milliseconds* out, std::string* error);

// N bytes of the pattern the tests and the benchmark generate.
std::string PatternBytes(size_t n);

}  // namespace kore
