// SHA-256 (FIPS 180-4), for the pool's record of the image a unit got and of
// what was read back from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zemb {

class Sha256 {
 public:
  Sha256();
  void Update(const uint8_t* data, size_t length);
  std::array<uint8_t, 32> Finish();
  // The digest in lower-case hex.
  static std::string Hex(const std::array<uint8_t, 32>& digest);

 private:
  void Block(const uint8_t* block);
  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

}  // namespace zemb
