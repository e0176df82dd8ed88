#include "Payload.h"

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
    for (size_t i = first + 1; i < a.size(); ++i) {
      if (i > first + 1) *data += ' ';
      *data += a[i];
    }
    return true;
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
      if (a[i].empty() || a[i][0] == '-' || !ParseNumber(a[i], 0, max, &v)) {
        *error = "not a " + kind + ": " + a[i];
        return false;
      }
      for (int b = 0; b < width; ++b) *data += static_cast<char>((v >> (8 * b)) & 0xff);
    }
    return true;
  }
  if (kind == "pattern") {
    long long n;
    if (first + 1 >= a.size() || !ParseNumber(a[first + 1], 0, kMaxPayloadBytes, &n)) {
      *error = "usage: pattern N (bytes)";
      return false;
    }
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
