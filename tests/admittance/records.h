// Command records encoded byte by byte at the offsets of the host's record
// layout (little-endian, packed), independent of any struct of the code
// under test.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace admittance_test {

using Bytes = std::array<uint8_t, 64>;

inline void PutFloat(Bytes& b, size_t offset, float v) {
  std::memcpy(&b[offset], &v, 4);
}
inline void PutInt(Bytes& b, size_t offset, int32_t v) {
  std::memcpy(&b[offset], &v, 4);
}
inline void PutFloats(Bytes& b, size_t offset, const std::array<float, 6>& v) {
  for (size_t i = 0; i < 6; ++i) PutFloat(b, offset + 4 * i, v[i]);
}

// Start: stiffness at 2, force at 26, ramp time at 50.
inline Bytes StartRecord(const std::array<float, 6>& stiffness, const std::array<float, 6>& force,
                         float time) {
  Bytes b{};
  PutFloats(b, 2, stiffness);
  PutFloats(b, 26, force);
  PutFloat(b, 50, time);
  return b;
}

// Type 1: stiffness at 5, time at 29.
inline Bytes StiffnessRecord(const std::array<float, 6>& stiffness, float time) {
  Bytes b{};
  PutInt(b, 0, 1);
  PutFloats(b, 5, stiffness);
  PutFloat(b, 29, time);
  return b;
}

// Types 2 and 3: factors at 4, time at 28.
inline Bytes FactorRecord(int32_t type, const std::array<float, 6>& factors, float time) {
  Bytes b{};
  PutInt(b, 0, type);
  PutFloats(b, 4, factors);
  PutFloat(b, 28, time);
  return b;
}

// Type 4: direction bytes at 5, force at 11, time at 35, relative byte at 39.
inline Bytes ForceRecord(const std::array<uint8_t, 6>& direction, const std::array<float, 6>& force,
                         float time, uint8_t relative = 0) {
  Bytes b{};
  PutInt(b, 0, 4);
  for (size_t i = 0; i < 6; ++i) b[5 + i] = direction[i];
  PutFloats(b, 11, force);
  PutFloat(b, 35, time);
  b[39] = relative;
  return b;
}

// Type 5: time at 35.
inline Bytes ReleaseRecord(float time) {
  Bytes b{};
  PutInt(b, 0, 5);
  PutFloat(b, 35, time);
  return b;
}

inline Bytes TypeOnlyRecord(int32_t type) {
  Bytes b{};
  PutInt(b, 0, type);
  return b;
}

// Stop: byte 0 equal to 1 refuses.
inline Bytes StopRecord(uint8_t first) {
  Bytes b{};
  b[0] = first;
  return b;
}

}  // namespace admittance_test
