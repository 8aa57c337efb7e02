// What the fuzz targets share: turning fuzz bytes into command-line words or
// a sequence of device requests, a scratch directory to run in, and a check
// that makes libFuzzer stop with the input that broke a property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zemb::fuzz {

// libFuzzer reports an abort as a finding and keeps the input.
[[noreturn]] void Fail(const char* file, int line, const char* what);
#define ZEMB_FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::zemb::fuzz::Fail(__FILE__, __LINE__, #condition))

// Makes a fresh directory the current one for the life of the process, the
// first time it is called; the targets' relative paths all land there. The
// directory holds the files every target may name: a valid SPI and I2C
// configuration, a broken one, an empty one, a directory, and small input
// files.
void EnterScratchDirectory();

// Command-line words: the fuzz bytes split at blanks, tabs, line ends and
// NUL, after the program name; at most `maxWords` of them. A '/' or '\'
// becomes '_', so no word names a file outside the scratch directory (a
// device node or a FIFO would hang the run instead of finding a fault).
class Words {
 public:
  Words(const uint8_t* data, size_t size, const char* program, size_t maxWords = 40);
  Words(const Words&) = delete;
  Words& operator=(const Words&) = delete;
  int Argc() const { return static_cast<int>(words_.size()); }
  const char* const* Argv() const { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<const char*> pointers_;
};

// Reads fuzz bytes front to back; past the end every read gives zeros, so
// any input makes a complete sequence.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Le16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t Le32() {
    const uint32_t low = Le16();
    return low | static_cast<uint32_t>(Le16()) << 16;
  }
  // Up to `count` bytes: fewer when the input ends first.
  std::vector<uint8_t> Bytes(size_t count) {
    const size_t left = at_ < size_ ? size_ - at_ : 0;
    const size_t n = count < left ? count : left;
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace zemb::fuzz
