// Multi-byte fields of the device's layouts: little-endian for the USB
// requests, the extension unit's blocks and the ROM header, big-endian
// inside the CDBs. One copy for the tools, the simulated device, the
// benchmark and the tests; each still lays out its own fields.
#pragma once

#include <cstdint>

namespace zemb {

template <typename T>
inline void PutLe(uint8_t* p, T v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
}
template <typename T>
inline void PutBe(uint8_t* p, T v, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * (bytes - 1 - i)));
  }
}
inline uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
inline uint64_t GetBe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

inline void PutLe16(uint8_t* p, uint16_t v) {
  PutLe(p, v, 2);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  PutLe(p, v, 4);
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  PutLe(p, v, 8);
}
inline void PutBe16(uint8_t* p, uint16_t v) {
  PutBe(p, v, 2);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  PutBe(p, v, 4);
}
inline void PutBe64(uint8_t* p, uint64_t v) {
  PutBe(p, v, 8);
}

inline uint16_t GetLe16(const uint8_t* p) {
  return static_cast<uint16_t>(GetLe(p, 2));
}
inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(GetLe(p, 4));
}
inline uint64_t GetLe64(const uint8_t* p) {
  return GetLe(p, 8);
}
inline uint16_t GetBe16(const uint8_t* p) {
  return static_cast<uint16_t>(GetBe(p, 2));
}
inline uint32_t GetBe32(const uint8_t* p) {
  return static_cast<uint32_t>(GetBe(p, 4));
}
inline uint64_t GetBe64(const uint8_t* p) {
  return GetBe(p, 8);
}

}  // namespace zemb
