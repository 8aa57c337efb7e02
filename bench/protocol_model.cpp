#include "bench/protocol_model.h"

#include <algorithm>

namespace zemb::bench {

namespace {

// The ROM's fixed geometry as the device and the image layout have it.
constexpr uint32_t kSector = 4096;
constexpr uint32_t kChunk = 4096;      // one file and ROM transfer of the tools
constexpr uint32_t kSpiPage = 256;     // the SPI chip's program page
constexpr uint32_t kXuChunk = 256;     // the extension unit's data control
constexpr uint32_t kHeaderSector = 0;  // the header's sector
constexpr uint32_t kHeaderBytes = 256;
constexpr uint32_t kHwFwStart = 256;
constexpr uint32_t kHwFwBytes = 32512;
constexpr uint32_t kHwFwEraseEnd = 32768;
constexpr uint32_t kDescStart = 32768;
constexpr uint32_t kMiscStart = 45056;
constexpr uint32_t kMiscRecord = 40;
constexpr uint32_t kImageStart = 49152;
constexpr uint32_t kPauseMs = 1;  // every wait but the chip erase's

uint64_t CeilDiv(uint64_t a, uint64_t b) {
  return (a + b - 1) / b;
}

}  // namespace

Column ColumnOf(sim::RequestKind kind) {
  switch (kind) {
    case sim::RequestKind::AccessRom:
      return kAccess;
    case sim::RequestKind::RomStatus:
      return kStatus;
    case sim::RequestKind::RomData:
      return kData;
    case sim::RequestKind::RomType:
      return kType;
    case sim::RequestKind::XuRead:
      return kAnswer;
    default:
      return kOther;
  }
}

uint64_t RequestCounts::Total() const {
  uint64_t total = 0;
  for (uint64_t v : n) total += v;
  return total;
}

ProtocolModel::ProtocolModel(sim::Face face, sim::RomKind kind, const sim::Timing& timing,
                             uint32_t pageSize, uint64_t pauseOverrunUs)
    : face_(face),
      kind_(kind),
      timing_(timing),
      pageSize_(pageSize),
      pauseOverrunUs_(pauseOverrunUs) {}

uint64_t ProtocolModel::TransferUs() const {
  return face_ == sim::Face::Cdrom ? timing_.scsiCommandUs : timing_.controlTransferUs;
}

void ProtocolModel::Request(Column column, uint64_t count) {
  totals_.requests.n[column] += count;
  totals_.deviceUs += count * TransferUs();
  totals_.lowerBoundUs += count * TransferUs();
}

uint64_t ProtocolModel::WriteBusyUs(uint32_t address, uint32_t length) const {
  if (length == 0) return 0;
  const uint32_t page = Spi() ? kSpiPage : std::max<uint32_t>(1, timing_.eepromPageSize);
  const uint64_t pages = (uint64_t{address} + length - 1) / page - address / page + 1;
  return pages * (Spi() ? timing_.pageProgramUs : timing_.eepromWriteUs);
}

uint64_t ProtocolModel::ReadBusyUs(uint32_t length) const {
  return uint64_t{timing_.readUsPer4KiB} * CeilDiv(length, kSector);
}

void ProtocolModel::Wait(uint64_t busyUs, uint32_t pauseMs) {
  const uint64_t transfers = face_ == sim::Face::Xu ? 2 : 1;
  const uint64_t look = transfers * TransferUs();
  const uint64_t pause = uint64_t{pauseMs} * 1000 + pauseOverrunUs_;
  // Look k answers at k looks and k - 1 pauses after the start; it says
  // "done" once that reaches the busy time. The first look is always made.
  const uint64_t looks = std::max<uint64_t>(1, CeilDiv(busyUs + pause, look + pause));
  totals_.requests.n[kStatus] += looks;
  if (face_ == sim::Face::Xu) totals_.requests.n[kAnswer] += looks;
  totals_.deviceUs += looks * (look + pause);
  totals_.pauses += looks;
  totals_.pauseUs += looks * pause;
  // Without pauses: the busy time, then one look that finds it over.
  totals_.lowerBoundUs += busyUs + look;
}

void ProtocolModel::FindDevice() {
  switch (face_) {
    case sim::Face::Own:
      break;  // opening the driver's member sends nothing to the device
    case sim::Face::Cdrom:
      // The descriptor's size, then the descriptor; the storage stack
      // answers both without a command to the device.
      totals_.requests.n[kOther] += 2;
      break;
    case sim::Face::Xu:
      Request(kOther);  // the property-set support probe of the unit's node
      break;
  }
}

void ProtocolModel::GetRomType() {
  Request(kType);
  if (face_ == sim::Face::Xu) Request(kAnswer);
}

void ProtocolModel::EraseSector() {
  Request(kAccess);
  Wait(timing_.sectorEraseUs, kPauseMs);
}

void ProtocolModel::WriteRom(uint32_t address, uint32_t length) {
  switch (face_) {
    case sim::Face::Own:
      Request(kData);
      Request(kAccess);
      Wait(WriteBusyUs(address, length), kPauseMs);
      break;
    case sim::Face::Cdrom: {
      // Data in the command; the command returns when the chip is done.
      Request(kAccess);
      const uint64_t busy = WriteBusyUs(address, length);
      totals_.deviceUs += busy;
      totals_.lowerBoundUs += busy;
      break;
    }
    case sim::Face::Xu:
      for (uint32_t offset = 0; offset < length; offset += kXuChunk) {
        const uint32_t chunk = std::min(kXuChunk, length - offset);
        Request(kData);
        Request(kAccess);
        Wait(WriteBusyUs(address + offset, chunk), kPauseMs);
      }
      break;
  }
}

void ProtocolModel::ReadRom(uint32_t, uint32_t length) {
  switch (face_) {
    case sim::Face::Own:
      Request(kAccess);
      Wait(ReadBusyUs(length), kPauseMs);
      Request(kData);
      break;
    case sim::Face::Cdrom: {
      Request(kAccess);
      const uint64_t busy = ReadBusyUs(length);
      totals_.deviceUs += busy;
      totals_.lowerBoundUs += busy;
      break;
    }
    case sim::Face::Xu:
      for (uint32_t offset = 0; offset < length; offset += kXuChunk) {
        const uint32_t chunk = std::min(kXuChunk, length - offset);
        Request(kAccess);
        Wait(ReadBusyUs(chunk), kPauseMs);
        Request(kData);
      }
      break;
  }
}

void ProtocolModel::WritePieces(uint32_t address, uint32_t length) {
  for (uint32_t at = 0; at < length;) {
    const uint32_t piece = std::min(pageSize_, length - at);
    WriteRom(address + at, piece);
    at += piece;
  }
}

void ProtocolModel::EraseSectors(uint32_t, uint32_t length) {
  if (!Spi()) return;
  for (uint64_t offset = 0; offset < length; offset += kSector) EraseSector();
}

void ProtocolModel::WriteRegionVerified(uint32_t start, uint32_t count) {
  for (uint64_t offset = 0; offset < count; offset += kChunk) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, count - offset));
    const uint32_t address = static_cast<uint32_t>(start + offset);
    WritePieces(address, n);
    ReadRom(address, n);
  }
}

void ProtocolModel::Burn(uint32_t length) {
  FindDevice();
  GetRomType();
  EraseSectors(0, length);
  WriteRegionVerified(0, length);
}

void ProtocolModel::ProgramHwFw() {
  FindDevice();
  GetRomType();
  ReadRom(kHeaderSector, kSector);
  EraseSectors(kHeaderSector, kHwFwEraseEnd);
  WritePieces(kHeaderSector, kHeaderBytes);
  ReadRom(kHeaderSector, kHeaderBytes);
  WriteRegionVerified(kHwFwStart, kHwFwBytes);
}

void ProtocolModel::ProgramImage(uint32_t length) {
  FindDevice();
  GetRomType();
  ReadRom(kHeaderSector, kSector);
  EraseSectors(kHeaderSector, kSector);
  EraseSectors(kImageStart, length);
  WritePieces(kHeaderSector, kSector);
  ReadRom(kHeaderSector, kSector);
  WriteRegionVerified(kImageStart, length);
}

void ProtocolModel::ProgramDesc(uint32_t length) {
  FindDevice();
  GetRomType();
  EraseSectors(kDescStart, length);
  WriteRegionVerified(kDescStart, length);
}

void ProtocolModel::ProgramSerialNumber() {
  FindDevice();
  GetRomType();
  ReadRom(kMiscStart, kMiscRecord);
  EraseSectors(kMiscStart, kSector);
  WritePieces(kMiscStart, kMiscRecord);
  ReadRom(kMiscStart, kMiscRecord);
}

void ProtocolModel::ZembRead(uint32_t start, uint32_t length) {
  FindDevice();
  GetRomType();
  for (uint64_t offset = 0; offset < length; offset += kChunk) {
    ReadRom(static_cast<uint32_t>(start + offset),
            static_cast<uint32_t>(std::min<uint64_t>(kChunk, length - offset)));
  }
}

void ProtocolModel::ZembWrite(const uint8_t* rom, const uint8_t* image, uint32_t length) {
  FindDevice();
  GetRomType();
  // The images the bench writes either carry the unit's misc record bytes
  // unchanged or meet an erased record, so the record's own rule changes
  // nothing in these counts.
  for (uint32_t sector = 0; sector < length; sector += kSector) {
    const uint32_t n = std::min(kSector, length - sector);
    const uint8_t* before = rom + sector;
    const uint8_t* after = image + sector;
    ReadRom(sector, n);
    if (std::equal(after, after + n, before)) continue;
    bool erase = false;
    for (uint32_t i = 0; Spi() && i < n && !erase; ++i) {
      erase = (after[i] & ~before[i] & 0xFF) != 0;
    }
    if (erase) EraseSector();
    for (uint32_t at = 0; at < n; at += pageSize_) {
      const uint32_t piece = std::min(pageSize_, n - at);
      const bool wanted =
          erase ? std::any_of(after + at, after + at + piece, [](uint8_t b) { return b != 0xFF; })
                : !std::equal(after + at, after + at + piece, before + at);
      if (wanted) WriteRom(sector + at, piece);
    }
    ReadRom(sector, n);
  }
}

}  // namespace zemb::bench
