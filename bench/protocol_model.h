// What a run of the tools has to cost on each face, worked out from the
// device's timing model and the request sequence the transports are bound
// to, without running anything. The bench sets a run's trace and clock
// against it.
//
// Two figures per run:
//  - the protocol's cost: the requests and the device time the fixed
//    sequence takes, status looks and their pauses included (every look is
//    followed by its pause; a look can only see "done" once the device's
//    busy time is over);
//  - the lower bound: the busy times plus one transfer for every request
//    that carries something (start, one status look, data), with no pause
//    at all.
#pragma once

#include <array>
#include <cstdint>

#include "sim/sim_device.h"

namespace zemb::bench {

// The request kinds the table counts, in column order.
enum Column : uint8_t { kAccess, kStatus, kData, kType, kAnswer, kOther, kColumns };
inline constexpr const char* kColumnNames[kColumns] = {"start", "status", "data",
                                                       "type",  "answer", "other"};

// The table's column for a request the device saw.
Column ColumnOf(sim::RequestKind kind);

struct RequestCounts {
  std::array<uint64_t, kColumns> n{};
  uint64_t Total() const;
  friend bool operator==(const RequestCounts&, const RequestCounts&) = default;
};

struct ModelTotals {
  RequestCounts requests;
  uint64_t deviceUs = 0;      // with the protocol's pauses
  uint64_t lowerBoundUs = 0;  // busy times and transfers only
  uint64_t pauses = 0;        // status looks, each followed by one pause
  uint64_t pauseUs = 0;       // the pauses' share of deviceUs
};

class ProtocolModel {
 public:
  // `pauseOverrunUs`: how much longer than asked every pause really lasts
  // (a 1 ms pause that takes 1.5 ms overruns by 500 us); 0 for exact pauses.
  ProtocolModel(sim::Face face, sim::RomKind kind, const sim::Timing& timing, uint32_t pageSize,
                uint64_t pauseOverrunUs = 0);

  // What finding the device sends to it.
  void FindDevice();
  void GetRomType();
  void EraseSector();
  // One WriteRom call (at most PageSize bytes) and one ReadRom call.
  void WriteRom(uint32_t address, uint32_t length);
  void ReadRom(uint32_t address, uint32_t length);

  // The steps the functions are made of.
  void WritePieces(uint32_t address, uint32_t length);
  void EraseSectors(uint32_t start, uint32_t length);
  // Chunks of 4096 bytes from `start`, each written in pieces and read back.
  void WriteRegionVerified(uint32_t start, uint32_t count);

  // The whole functions.
  void Burn(uint32_t length);
  void ProgramHwFw();
  void ProgramImage(uint32_t length);
  void ProgramDesc(uint32_t length);
  void ProgramSerialNumber();

  // zemb read of [start, start + length) in 4096-byte reads.
  void ZembRead(uint32_t start, uint32_t length);
  // zemb write of `image` (whole sectors from address 0) onto a ROM that
  // holds `rom` there: every sector read; an equal one left alone; on SPI a
  // sector whose new bytes set a bit is erased and its pages that are not
  // all 0xFF programmed, any other changed sector gets its differing pages
  // programmed; each written sector read back.
  void ZembWrite(const uint8_t* rom, const uint8_t* image, uint32_t length);

  const ModelTotals& Totals() const { return totals_; }
  uint64_t TransferUs() const;

 private:
  bool Spi() const { return kind_ == sim::RomKind::Spi; }
  void Request(Column column, uint64_t count = 1);
  // The bytes one data request carries on the own driver or the extension
  // unit: the whole call, or the unit's data control at a time.
  uint32_t Step(uint32_t length) const;
  // One CD-ROM ROM command: it returns when the chip is done, after `busyUs`.
  void CdromCommand(uint64_t busyUs);
  uint64_t WriteBusyUs(uint32_t address, uint32_t length) const;
  uint64_t ReadBusyUs(uint32_t length) const;
  // The status looks after an operation that stays busy for `busyUs` has
  // started: one transfer each, or two on the extension unit (the status
  // request written, the answer read), and a pause after every one.
  void Wait(uint64_t busyUs, uint32_t pauseMs);

  sim::Face face_;
  sim::RomKind kind_;
  sim::Timing timing_;
  uint32_t pageSize_;
  uint64_t pauseOverrunUs_;
  ModelTotals totals_;
};

}  // namespace zemb::bench
