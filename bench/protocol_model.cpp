#include "bench/protocol_model.h"

#include <algorithm>

#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"

namespace zemb::bench {

namespace {

// The tools' transfers; the ROM's regions are the image layout's.
constexpr uint32_t kChunk = 4096;   // one file and ROM transfer of the tools
constexpr uint32_t kSpiPage = 256;  // the SPI chip's program page
constexpr uint32_t kXuChunk = 256;  // the extension unit's data control
constexpr uint32_t kPauseMs = 1;    // every wait but the chip erase's

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

uint32_t ProtocolModel::Step(uint32_t length) const {
  return face_ == sim::Face::Xu ? kXuChunk : std::max<uint32_t>(1, length);
}

void ProtocolModel::Request(Column column, uint64_t count) {
  totals_.requests.n[column] += count;
  totals_.deviceUs += count * TransferUs();
  totals_.lowerBoundUs += count * TransferUs();
}

void ProtocolModel::CdromCommand(uint64_t busyUs) {
  Request(kAccess);
  totals_.deviceUs += busyUs;
  totals_.lowerBoundUs += busyUs;
}

uint64_t ProtocolModel::WriteBusyUs(uint32_t address, uint32_t length) const {
  if (length == 0) return 0;
  const uint32_t page = Spi() ? kSpiPage : std::max<uint32_t>(1, timing_.eepromPageSize);
  const uint64_t pages = (uint64_t{address} + length - 1) / page - address / page + 1;
  return pages * (Spi() ? timing_.pageProgramUs : timing_.eepromWriteUs);
}

uint64_t ProtocolModel::ReadBusyUs(uint32_t length) const {
  return uint64_t{timing_.readUsPer4KiB} * CeilDiv(length, kRomSectorSize);
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
  if (face_ == sim::Face::Cdrom) {
    // Data in the command.
    CdromCommand(WriteBusyUs(address, length));
    return;
  }
  const uint32_t step = Step(length);
  for (uint32_t offset = 0; offset < length; offset += step) {
    const uint32_t piece = std::min(step, length - offset);
    Request(kData);
    Request(kAccess);
    Wait(WriteBusyUs(address + offset, piece), kPauseMs);
  }
}

void ProtocolModel::ReadRom(uint32_t, uint32_t length) {
  if (face_ == sim::Face::Cdrom) {
    CdromCommand(ReadBusyUs(length));
    return;
  }
  const uint32_t step = Step(length);
  for (uint32_t offset = 0; offset < length; offset += step) {
    Request(kAccess);
    Wait(ReadBusyUs(std::min(step, length - offset)), kPauseMs);
    Request(kData);
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
  for (uint64_t offset = 0; offset < length; offset += kRomSectorSize) EraseSector();
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
  ReadRom(kHeaderAddress, kRomSectorSize);
  EraseSectors(kHeaderAddress, kDescAddress - kHeaderAddress);  // up to the descriptor
  WritePieces(kHeaderAddress, kHeaderSize);
  ReadRom(kHeaderAddress, kHeaderSize);
  WriteRegionVerified(kHwFwAddress, kHwFwSize);
}

void ProtocolModel::ProgramImage(uint32_t length) {
  FindDevice();
  GetRomType();
  ReadRom(kHeaderAddress, kRomSectorSize);
  EraseSectors(kHeaderAddress, kRomSectorSize);
  EraseSectors(kImageAddress, length);
  WritePieces(kHeaderAddress, kRomSectorSize);
  ReadRom(kHeaderAddress, kRomSectorSize);
  WriteRegionVerified(kImageAddress, length);
}

void ProtocolModel::ProgramDesc(uint32_t length) {
  FindDevice();
  GetRomType();
  EraseSectors(kDescAddress, length);
  WriteRegionVerified(kDescAddress, length);
}

void ProtocolModel::ProgramSerialNumber() {
  FindDevice();
  GetRomType();
  ReadRom(kMiscAddress, kMiscRecordSize);
  EraseSectors(kMiscAddress, kRomSectorSize);
  WritePieces(kMiscAddress, kMiscRecordSize);
  ReadRom(kMiscAddress, kMiscRecordSize);
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
  for (uint32_t sector = 0; sector < length; sector += kRomSectorSize) {
    const uint32_t n = std::min(kRomSectorSize, length - sector);
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
