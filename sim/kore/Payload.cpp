#include "Payload.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

namespace kore {

bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseNumberArg(const std::string& what, const std::string& text, long long min, long long max,
                    long long* out, std::string* error) {
  if (ParseNumber(text, min, max, out)) return true;
  const std::string range = std::to_string(min) + ".." + std::to_string(max);
  char* end = nullptr;
  errno = 0;
  std::strtoll(text.c_str(), &end, 0);
  if (!text.empty() && *end == '\0') {
    *error = what + " " + text + " is out of range " + range;
  } else {
    *error = what + " \"" + text + "\" is not a number (" + range + ")";
  }
  return false;
}

bool ParseDurationArg(const std::string& what, const std::string& text,
                      std::chrono::milliseconds* out, std::string* error) {
  if (ParseDuration(text, out)) return true;
  *error = what + " \"" + text +
           "\" is not a duration of 0 to 1 day (e.g. 200ms, 2s, 1.5s, 1min, 500 for ms)";
  return false;
}

namespace {

// The words of `text WORDS...` with their escapes resolved.
bool Unescape(const std::string& in, std::string* out, std::string* error) {
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      *out += in[i];
      continue;
    }
    const char c = i + 1 < in.size() ? in[++i] : '\0';
    if (c == 'n') {
      *out += '\n';
    } else if (c == 'r') {
      *out += '\r';
    } else if (c == 't') {
      *out += '\t';
    } else if (c == '\\') {
      *out += '\\';
    } else if (c == 'x' && i + 2 < in.size() &&
               std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
      *out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      *error = "unknown escape in text: \\" + std::string(c == '\0' ? "" : std::string(1, c)) +
               " (\\n, \\r, \\t, \\\\, \\xHH)";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseDuration(const std::string& text, std::chrono::milliseconds* out) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end == text.c_str() || !std::isfinite(v) || v < 0) return false;
  std::string unit(end);
  double ms;
  if (unit.empty() || unit == "ms") {
    ms = v;
  } else if (unit == "s") {
    ms = v * 1000.0;
  } else if (unit == "min") {
    ms = v * 60000.0;
  } else {
    return false;
  }
  if (ms > 86400000.0) return false;
  *out = std::chrono::milliseconds(static_cast<long long>(ms));
  return true;
}

std::string PatternBytes(size_t n) {
  std::string data(n, '\0');
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return data;
}

bool ParsePayload(const std::vector<std::string>& a, size_t first, bool allowEmpty,
                  std::string* data, std::string* error) {
  data->clear();
  if (first >= a.size()) {
    if (allowEmpty) return true;
    *error = std::string("no data given (") + kPayloadUsage + ")";
    return false;
  }
  const std::string& kind = a[first];
  if (kind == "text") {
    std::string words;
    for (size_t i = first + 1; i < a.size(); ++i) {
      if (i > first + 1) words += ' ';
      words += a[i];
    }
    return Unescape(words, data, error);
  }
  if (kind == "hex") {
    std::string digits;
    for (size_t i = first + 1; i < a.size(); ++i) digits += a[i];
    if (digits.size() % 2 != 0) {
      *error = "hex data needs an even number of digits";
      return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
      long long b;
      if (digits[i] == '-' || !ParseNumber("0x" + digits.substr(i, 2), 0, 255, &b)) {
        *error = "bad hex digits: " + digits.substr(i, 2);
        return false;
      }
      *data += static_cast<char>(b);
    }
    return true;
  }
  const int width = kind == "u8" ? 1 : kind == "u16" ? 2 : kind == "u32" ? 4 : 0;
  if (width != 0) {
    const long long max = width == 4 ? 0xffffffffll : (1ll << (8 * width)) - 1;
    for (size_t i = first + 1; i < a.size(); ++i) {
      long long v;
      if (!ParseNumberArg(kind, a[i], 0, max, &v, error)) return false;
      if (a[i][0] == '-') {
        *error = kind + " " + a[i] + " is out of range 0.." + std::to_string(max);
        return false;
      }
      for (int b = 0; b < width; ++b) *data += static_cast<char>((v >> (8 * b)) & 0xff);
    }
    return true;
  }
  if (kind == "pattern") {
    long long n;
    if (first + 1 >= a.size()) {
      *error = "usage: pattern N (bytes)";
      return false;
    }
    if (!ParseNumberArg("pattern length", a[first + 1], 0, static_cast<long long>(kMaxPayloadBytes),
                        &n, error))
      return false;
    *data = PatternBytes(static_cast<size_t>(n));
    return true;
  }
  if (kind == "file") {
    if (first + 1 >= a.size()) {
      *error = "usage: file PATH";
      return false;
    }
    std::ifstream in(a[first + 1], std::ios::binary);
    if (!in) {
      *error = "cannot read " + a[first + 1];
      return false;
    }
    // Read in blocks up to one byte beyond the bound, which tells a file
    // that is too large (or endless, as /dev/zero).
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
      data->append(block, static_cast<size_t>(in.gcount()));
      if (data->size() > kMaxPayloadBytes) {
        data->clear();
        *error = a[first + 1] + " is larger than " + std::to_string(kMaxPayloadBytes) + " bytes";
        return false;
      }
    }
    return true;
  }
  *error = std::string("data must be ") + kPayloadUsage;
  return false;
}

}  // namespace kore
