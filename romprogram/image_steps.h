// Steps that MAKE, BURN and the sector updates share: input files read in
// 4096-byte chunks with their length taken from the open file, sector
// erases, and writing a region with read-back compare.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/base/console.h"
#include "common/device/rom_access.h"
#include "common/rom/rom_parameter.h"

namespace zemb {

// The chunk size of every file and ROM transfer.
constexpr uint32_t kImageChunk = 4096;

// Whether a span of the ROM ending (exclusive) at `end` lies inside the
// configured size. Done in 64 bits so no sum wraps, and a negative size from
// the configuration holds nothing instead of turning into a huge one.
inline bool EndsWithinRom(uint64_t end, int32_t romSize) {
  return romSize >= 0 && end <= static_cast<uint64_t>(romSize);
}

// A file opened for binary reading. Its length is taken once, from the open
// file, and reads must deliver exactly that many bytes: a file that shrinks
// after that gives a failed read, never bytes that were not in it.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // False when the path cannot be opened for reading or is not a regular
  // file (a directory opens on some systems and reads as nothing).
  bool Open(const char* path);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  uint64_t Length() const { return length_; }
  uint64_t Remaining() const { return length_ - position_; }

  // For a file copied whole (MAKE): the stream then reads ahead in large
  // blocks instead of making a system call for every chunk. A shrink is
  // seen at the next block instead of the next chunk, still before the
  // copy ends. Call it right after Open.
  void ReadAhead();
  // Reads exactly `count` bytes; false on a read error or a short read.
  bool Read(uint8_t* destination, uint32_t count);
  // Reads what is left of the file up to `count` bytes and fills the rest
  // of `count` with `fill`; false on a read error or a short read.
  bool ReadPadded(uint8_t* destination, uint32_t count, uint8_t fill);

 private:
  static constexpr size_t kReadAheadSize = 64 * 1024;
  // The stream's buffer after ReadAhead; Close() ends the stream before it goes.
  std::unique_ptr<char[]> buffer_;
  std::FILE* file_ = nullptr;
  uint64_t length_ = 0;
  uint64_t position_ = 0;
};

// Erases the 4096-byte sectors at start + 0, + 4096, ... while the offset is
// below `length`. The first failure prints the error block and ends it.
bool EraseSectors(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                  uint32_t start, uint32_t length);

// Writes `count` bytes of `file` from ROM address `start` in 4096-byte
// chunks, each in pieces of at most PageSize bytes, then reads the chunk
// back and compares it, with a progress line per chunk. Bytes past the end
// of the file are written as 0xFF. A read of the file that fails prints
// `fileReadFailLine`. The first failure ends the step.
bool WriteRegionVerified(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                         InputFile& file, uint32_t count, uint32_t start,
                         const char* fileReadFailLine);

// Writes `length` bytes from `address` in pieces of at most PageSize bytes,
// the pieces following each other from the start; prints the error block on
// a failure.
bool WritePieces(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                 const uint8_t* data, uint32_t address, uint32_t length);

// Reads `length` bytes back from `address` into `readBack` (zeroed first)
// and compares them with `written`; prints the error block or the mismatch
// dump on a failure.
bool ReadBackAndCompare(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                        const uint8_t* written, uint8_t* readBack, uint32_t address,
                        uint32_t length);

}  // namespace zemb
