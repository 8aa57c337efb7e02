// The bench's cases: what one run does, the input files it reads, and what
// the protocol says that run has to cost.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/protocol_model.h"
#include "sim/sim_device.h"

namespace zemb::bench {

constexpr uint32_t kMiB = 1u << 20;
// The chip of every case is this large, whatever the image: the simulated
// device's own copy of the ROM is then the same in every row, and the
// differences in peak memory are the tools'.
constexpr uint32_t kChipSize = 16 * kMiB;
constexpr uint32_t kSpiPageSize = 256;
constexpr uint32_t kI2cPageSize = 64;
constexpr const char* kSerial = "20000130041415";
// MAKE and cp each run this many times; the best round counts.
constexpr int kThroughputRounds = 11;

// The zemb rows' image is the 1 MiB BURN image; the changed one differs from
// it in the one sector at kChangedSector, which sets bits there (an erase).
constexpr uint32_t kChangedSector = 0x80000;

struct Job {
  // burn, hwfw, img, desc, ser, make, realtime; and the zemb rows: zread
  // (zemb read), zsame (writing what the ROM holds), zsect (one sector
  // changed), zfull (the image onto an erased ROM).
  std::string function;
  sim::Face face = sim::Face::Own;
  sim::RomKind kind = sim::RomKind::Spi;
  uint32_t size = 0;            // bytes of the image (burn, img, make, realtime)
  uint64_t pauseOverrunUs = 0;  // every pause lasts this much longer than asked
};

// What a child hands back to the orchestrator: one "key value" a line.
using Results = std::map<std::string, std::string>;

bool IsZemb(const std::string& function);
const char* FaceName(sim::Face face);
bool ParseFace(const std::string& word, sim::Face* face);

// The file name, in the inputs folder, of the case's input.
std::string InputName(const std::string& function, uint32_t size);

// A repeatable pattern without 0xFF bytes, so no byte reads as erased;
// `length` bytes of it in memory or in a file.
std::vector<uint8_t> PatternBytes(uint32_t length, uint32_t salt);
void WritePatternFile(const std::string& path, uint64_t length, uint32_t salt);
// The `length`-byte BURN image with the sector at kChangedSector changed.
std::vector<uint8_t> ChangedImage(uint32_t length);
void WriteBytesFile(const std::string& path, const std::vector<uint8_t>& bytes);

// The bytes a case writes to the ROM: the per-MiB figures are per MiB of it.
uint64_t PayloadBytes(const Job& job);

// The protocol's requests and device time for the case.
ProtocolModel ModelOf(const Job& job);

}  // namespace zemb::bench
