#include "bench/bench_job.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"

namespace zemb::bench {

namespace {

constexpr uint32_t kChangedSalt = 99;

class Pattern {
 public:
  explicit Pattern(uint32_t salt) : x_(0x9E3779B9u ^ salt) {}
  uint8_t Next() {
    x_ = x_ * 1664525u + 1013904223u;
    const uint8_t b = static_cast<uint8_t>(x_ >> 24);
    return b == 0xFF ? 0x5A : b;
  }

 private:
  uint32_t x_;
};

}  // namespace

bool IsZemb(const std::string& function) {
  return function == "zread" || function == "zsame" || function == "zsect" || function == "zfull";
}

const char* FaceName(sim::Face face) {
  return face == sim::Face::Own ? "own" : face == sim::Face::Cdrom ? "cdrom" : "xu";
}

bool ParseFace(const std::string& word, sim::Face* face) {
  if (word == "own") *face = sim::Face::Own;
  if (word == "cdrom") *face = sim::Face::Cdrom;
  if (word == "xu") *face = sim::Face::Xu;
  return word == "own" || word == "cdrom" || word == "xu";
}

std::string InputName(const std::string& function, uint32_t size) {
  if (function == "hwfw") return "hwfw.bin";
  if (function == "desc") return "desc.bin";
  if (function == "img") return "img_" + std::to_string(size) + ".bin";
  if (function == "zsect") return "changed_" + std::to_string(size) + ".bin";
  return "image_" + std::to_string(size) + ".bin";
}

std::vector<uint8_t> PatternBytes(uint32_t length, uint32_t salt) {
  std::vector<uint8_t> bytes(length);
  Pattern pattern(salt);
  for (uint8_t& b : bytes) b = pattern.Next();
  return bytes;
}

void WritePatternFile(const std::string& path, uint64_t length, uint32_t salt) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "zemb_bench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::vector<uint8_t> block(64 * 1024);
  Pattern pattern(salt);
  for (uint64_t done = 0; done < length;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), length - done));
    for (size_t i = 0; i < n; ++i) block[i] = pattern.Next();
    std::fwrite(block.data(), 1, n, file);
    done += n;
  }
  std::fclose(file);
}

std::vector<uint8_t> ChangedImage(uint32_t length) {
  std::vector<uint8_t> bytes = PatternBytes(length, length);
  Pattern pattern(kChangedSalt);
  for (uint32_t i = 0; i < kRomSectorSize; ++i) bytes[kChangedSector + i] = pattern.Next();
  return bytes;
}

void WriteBytesFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::fprintf(stderr, "zemb_bench: cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(file);
}

uint64_t PayloadBytes(const Job& job) {
  if (job.function == "hwfw") return kHeaderSize + kHwFwSize;
  if (job.function == "desc") return kDescSize;
  if (job.function == "ser") return kMiscRecordSize;
  return job.size;
}

ProtocolModel ModelOf(const Job& job) {
  const uint32_t page = job.kind == sim::RomKind::Spi ? kSpiPageSize : kI2cPageSize;
  ProtocolModel model(job.face, job.kind, sim::Timing{}, page, job.pauseOverrunUs);
  if (job.function == "burn" || job.function == "realtime") model.Burn(job.size);
  if (job.function == "hwfw") model.ProgramHwFw();
  if (job.function == "img") model.ProgramImage(job.size);
  if (job.function == "desc") model.ProgramDesc(kDescSize);
  if (job.function == "ser") model.ProgramSerialNumber();
  if (job.function == "zread") model.ZembRead(0, job.size);
  if (job.function == "zsame" || job.function == "zsect" || job.function == "zfull") {
    const std::vector<uint8_t> image = PatternBytes(job.size, job.size);
    const std::vector<uint8_t> rom =
        job.function == "zfull" ? std::vector<uint8_t>(job.size, 0xFF) : image;
    const std::vector<uint8_t> wanted = job.function == "zsect" ? ChangedImage(job.size) : image;
    model.ZembWrite(rom.data(), wanted.data(), job.size);
  }
  return model;
}

}  // namespace zemb::bench
