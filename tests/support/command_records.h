// Command records encoded byte by byte at their documented offsets
// (little-endian, packed), independent of the host's record structs.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace records {

using Bytes = std::vector<uint8_t>;
using Six = std::array<float, 6>;

inline void PutFloat(Bytes& b, size_t offset, float v) {
  std::memcpy(&b[offset], &v, 4);
}
inline void PutInt32(Bytes& b, size_t offset, int32_t v) {
  std::memcpy(&b[offset], &v, 4);
}
inline void PutSix(Bytes& b, size_t offset, const Six& v) {
  for (size_t i = 0; i < 6; ++i) PutFloat(b, offset + 4 * i, v[i]);
}

// Start: stiffness at 2, force at 26, ramp time at 50.
inline Bytes Start(const Six& stiffness, const Six& force = {}, float time = 0.0f) {
  Bytes b(54, 0xEE);
  b[0] = b[1] = 0;
  PutSix(b, 2, stiffness);
  PutSix(b, 26, force);
  PutFloat(b, 50, time);
  return b;
}

// Stiffness (type 1): stiffness at 5, ramp time at 29.
inline Bytes Stiffness(const Six& stiffness, float time) {
  Bytes b(33, 0xEE);
  PutInt32(b, 0, 1);
  PutSix(b, 5, stiffness);
  PutFloat(b, 29, time);
  return b;
}

// Force (type 4): direction bytes at 5, force at 11, ramp time at 35,
// relative byte at 39.
inline Bytes Force(const std::array<uint8_t, 6>& direction, const Six& force, float time,
                   uint8_t relative = 0) {
  Bytes b(40, 0xEE);
  PutInt32(b, 0, 4);
  for (size_t i = 0; i < 6; ++i) b[5 + i] = direction[i];
  PutSix(b, 11, force);
  PutFloat(b, 35, time);
  b[39] = relative;
  return b;
}

// Release (type 5): ramp time at 35.
inline Bytes Release(float time) {
  Bytes b(39, 0xEE);
  PutInt32(b, 0, 5);
  PutFloat(b, 35, time);
  return b;
}

// Force factor (2) or damping factor (3): factors at 4, ramp time at 28.
inline Bytes Factor(int32_t type, const Six& factors, float time) {
  Bytes b(32, 0);
  PutInt32(b, 0, type);
  PutSix(b, 4, factors);
  PutFloat(b, 28, time);
  return b;
}

// Only the type word: a gain record of `type` whose values are all zero.
inline Bytes TypeOnly(int32_t type) {
  Bytes b(40, 0);
  PutInt32(b, 0, type);
  return b;
}

inline Bytes Stop(uint8_t first) {
  return Bytes{first, 0, 0, 0};
}

}  // namespace records
