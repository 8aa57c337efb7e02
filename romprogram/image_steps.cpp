#include "romprogram/image_steps.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "common/device/reporting.h"
#include "common/host/regular_file.h"

namespace zemb {

namespace {

// The length of an open regular file; false for anything else.
bool RegularFileLength(std::FILE* file, uint64_t* length) {
#if defined(_WIN32)
  struct _stat64 status;
  if (_fstat64(_fileno(file), &status) != 0) return false;
  if ((status.st_mode & _S_IFMT) != _S_IFREG) return false;
#else
  struct stat status;
  if (fstat(fileno(file), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) return false;
#endif
  if (status.st_size < 0) return false;
  *length = static_cast<uint64_t>(status.st_size);
  return true;
}

}  // namespace

bool InputFile::Open(const char* path) {
  Close();
  if (path == nullptr) return false;
  file_ = OpenRegularFile(path, "rb");
  if (file_ == nullptr) return false;
  if (!RegularFileLength(file_, &length_)) {
    Close();
    return false;
  }
  return true;
}

void InputFile::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  length_ = 0;
  position_ = 0;
}

void InputFile::ReadAhead() {
  if (file_ == nullptr || length_ <= kImageChunk) return;
  if (buffer_ == nullptr) buffer_ = std::make_unique<char[]>(kReadAheadSize);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kReadAheadSize);
}

bool InputFile::Read(uint8_t* destination, uint32_t count) {
  if (file_ == nullptr || count > Remaining()) return false;
  const size_t got = std::fread(destination, 1, count, file_);
  position_ += got;
  return got == count;
}

bool InputFile::ReadPadded(uint8_t* destination, uint32_t count, uint8_t fill) {
  const uint32_t fromFile = static_cast<uint32_t>(std::min<uint64_t>(count, Remaining()));
  if (fromFile > 0 && !Read(destination, fromFile)) return false;
  std::memset(destination + fromFile, fill, count - fromFile);
  return true;
}

bool EraseSectors(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                  uint32_t start, uint32_t length) {
  for (uint64_t offset = 0; offset < length; offset += kImageChunk) {
    if (!rom.EraseSector(parameter, static_cast<uint32_t>(start + offset))) {
      ReportSystemError(console, kCannotEraseRom);
      return false;
    }
  }
  return true;
}

bool WritePieces(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                 const uint8_t* data, uint32_t address, uint32_t length) {
  // A page size of 0 never passes the configuration check; writing the rest
  // in one piece then lets the transport refuse it instead of looping.
  const uint32_t page = parameter.PageSize != 0 ? parameter.PageSize : length;
  for (uint32_t at = 0; at < length;) {
    const uint32_t piece = page < length - at ? page : length - at;
    if (!rom.WriteRom(parameter, data + at, address + at, piece)) {
      ReportSystemError(console, kCannotWriteRom);
      return false;
    }
    at += piece;
  }
  return true;
}

bool ReadBackAndCompare(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                        const uint8_t* written, uint8_t* readBack, uint32_t address,
                        uint32_t length) {
  std::memset(readBack, 0, length);
  if (!rom.ReadRom(parameter, readBack, address, length)) {
    ReportSystemError(console, kCannotReadRom);
    return false;
  }
  if (std::memcmp(written, readBack, length) != 0) {
    ReportMismatch(console, written, readBack, length);
    return false;
  }
  return true;
}

bool WriteRegionVerified(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                         InputFile& file, uint32_t count, uint32_t start,
                         const char* fileReadFailLine) {
  std::array<uint8_t, kImageChunk> chunk{};
  std::array<uint8_t, kImageChunk> readBack{};
  for (uint64_t offset = 0; offset < count; offset += kImageChunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kImageChunk, count - offset));
    if (!file.ReadPadded(chunk.data(), n, 0xFF)) {
      console.WriteAndLog(fileReadFailLine);
      return false;
    }
    const uint32_t address = static_cast<uint32_t>(start + offset);
    console.PrintAndLog("\r    [OffsetStart : OffsetEnd] %u : %u", static_cast<unsigned>(address),
                        static_cast<unsigned>(address + n));
    if (!WritePieces(console, rom, parameter, chunk.data(), address, n)) return false;
    if (!ReadBackAndCompare(console, rom, parameter, chunk.data(), readBack.data(), address, n)) {
      return false;
    }
  }
  return true;
}

}  // namespace zemb
