// Writes the binary seeds of the request-decoder and header targets: valid
// requests as the tools send them, in the record format of sim_requests.h,
// and first sectors as MAKE composes them. Run once after a format change:
//   zemb_fuzz_seeds fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/device/requests.h"
#include "common/rom/rom_layout.h"
#include "fuzz/sim_requests.h"

namespace {

using namespace zemb;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// One record: flags, pause, input length, input (output the same size).
void Record(Bytes& out, const Bytes& request, uint8_t pauseMs = 1, uint8_t flags = 0) {
  out.push_back(flags);
  out.push_back(pauseMs);
  Put16(out, static_cast<uint32_t>(request.size()));
  out.insert(out.end(), request.begin(), request.end());
}

void XuRecord(Bytes& out, uint32_t selector, uint32_t flags, const Bytes& value,
              uint8_t pauseMs = 1) {
  const auto property = EncodeKspNode(sim::kXuPropertySet, selector, flags, 2);
  out.push_back(0);
  out.push_back(pauseMs);
  Put16(out, static_cast<uint32_t>(property.size()));
  Put16(out, static_cast<uint32_t>(value.size()));
  out.insert(out.end(), property.begin(), property.end());
  out.insert(out.end(), value.begin(), value.end());
}

Bytes Own(uint8_t type, uint8_t request, uint16_t index, uint16_t length, const Bytes& data,
          size_t bufferSize) {
  return EncodeVendorRequest(type, request, index, length, data, bufferSize);
}

Bytes OwnStart(const AccessRomBlock& block, size_t bufferSize) {
  const auto b = EncodeAccessRomBlock(block);
  return Own(kRequestTypeOut, ACCESS_ROM, 0, 12, Bytes(b.begin(), b.end()), bufferSize);
}

Bytes OwnStatus(uint8_t op, size_t bufferSize) {
  return Own(kRequestTypeIn, GET_ROMLD_STATUS, op, 2, {}, bufferSize);
}

Bytes Pass(uint8_t dataIn, uint32_t length, const Cdb& cdb, const Bytes& data = {}) {
  std::array<uint8_t, kPassThroughBufferSize> buffer{};
  FillPassThrough(buffer, dataIn, length, cdb);
  for (size_t i = 0; i < data.size(); ++i) buffer[kPassThroughDataOffset + i] = data[i];
  return Bytes(buffer.begin(), buffer.begin() + kPassThroughDataOffset + length);
}

Bytes Block(const XuRequestBlock& block) {
  return Bytes(block.begin(), block.end());
}

void Save(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(folder);
  const std::string path = (folder / name).string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path corpus = argv[1];
  const Bytes page(256, 0x5A);

  // Own driver: type, an erase, a page write and a read, each with its
  // status polls; the SPI device first (choice byte 0), then the EEPROM.
  for (uint8_t choice : {0, 1}) {
    Bytes s{choice};
    Record(s, Own(kRequestTypeIn, GET_ROM_TYPE, 0, 1, {}, kVendorBufferRomType));
    Record(s, Own(kRequestTypeIn, GET_FIRMWARE_VERSION, 0, 8, {}, kVendorBufferFirmwareVersion));
    Record(s, Own(kRequestTypeInOther, GET_SIDE_SIGNATURE, 0, 4, {}, kVendorBufferSideSignature));
    Record(s, OwnStart({kOpSectorErase, 3, 0, 0x1000, 0}, kVendorBufferErase), 50);
    Record(s, OwnStatus(kOpSectorErase, kVendorBufferErase));
    Record(s, Own(kRequestTypeOut, ROM_DATA, 0, 256, page, kVendorBufferData));
    Record(s, OwnStart({kOpWrite, 3, 256, 0x1000, 256}, kVendorBufferData), 2);
    Record(s, OwnStatus(kOpWrite, kVendorBufferData));
    Record(s, OwnStart({kOpRead, 3, 256, 0x1000, 4096}, kVendorBufferData), 2);
    Record(s, OwnStatus(kOpRead, kVendorBufferData));
    Record(s, Own(kRequestTypeIn, ROM_DATA, 0, 4096, {}, kVendorBufferData));
    Record(s, OwnStart({kOpChipErase, 0, 0, 0, 0}, kVendorBufferErase), 200);
    Record(s, OwnStatus(kOpChipErase, kVendorBufferErase));
    Save(corpus / "sim_own_driver", choice ? "eeprom_session.bin" : "spi_session.bin", s);
  }

  // CD-ROM: the storage query of discovery, then ROM and IO commands.
  {
    Bytes s{0};
    Bytes query(12, 0);
    s.push_back(fuzz::kStorageQuery | fuzz::kOwnOutLength);
    s.push_back(0);
    Put16(s, 12);
    Put16(s, 8);
    s.insert(s.end(), query.begin(), query.end());
    s.push_back(fuzz::kStorageQuery | fuzz::kOwnOutLength);
    s.push_back(0);
    Put16(s, 12);
    Put16(s, 512);
    s.insert(s.end(), query.begin(), query.end());
    Record(s, Pass(kScsiDataIn, 1, CdbQuery(GET_ROM_TYPE, 1)));
    Record(s, Pass(kScsiDataUnspecified, 0, CdbSectorErase(0x2000)), 50);
    Record(s, Pass(kScsiDataIn, 2, CdbRomStatus()));
    Record(s, Pass(kScsiDataOut, 256, CdbRomWrite(3, 256, 0x2000, 256), page), 2);
    Record(s, Pass(kScsiDataIn, 4096, CdbRomRead(3, 256, 0x2000, 4096)));
    Record(s, Pass(kScsiDataIn, 2, CdbIoAccess(I2C_READ, 0x78, 2, 0x0301, 2)));
    Record(s, Pass(kScsiDataOut, 2, CdbIoAccess(I2C_WRITE, 0x78, 2, 0x1002, 2), {0xFF, 0xFF}));
    Record(s, Pass(kScsiDataIn, 1, CdbIoAccess(GPIO_GET, 0, 0, 0, 0)));
    Record(s, Pass(kScsiDataOut, 1, CdbIoAccess(GPIO_SET, 0, 0, 0, 0), {0xFF}));
    Record(s, Pass(kScsiDataOut, 1, CdbIoAccess(GPIO_SET_DIR, 0, 0, 0, 0), {0x0F}));
    Record(s, Pass(kScsiDataUnspecified, 0, CdbChipErase()), 200);
    Record(s, Pass(kScsiDataIn, 2, CdbRomStatus()));
    Save(corpus / "sim_cdrom", "session.bin", s);
  }

  // Extension unit: the discovery probe, then ROM and IO requests.
  {
    Bytes s{0};
    XuRecord(s, 0, kKsPropertySetSupportTopology, {});
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuRomType()));
    XuRecord(s, 1, kKsPropertyGetTopology, Bytes(30, 0));
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuAccessRom({kOpSectorErase, 3, 0, 0x3000, 0})),
             50);
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuRomStatus(kOpSectorErase)));
    XuRecord(s, 1, kKsPropertyGetTopology, Bytes(30, 0));
    XuRecord(s, 2, kKsPropertySetTopology, page);
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuAccessRom({kOpWrite, 3, 256, 0x3000, 256})), 2);
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuRomStatus(kOpWrite)));
    XuRecord(s, 1, kKsPropertyGetTopology, Bytes(30, 0));
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuAccessRom({kOpRead, 3, 256, 0x3000, 256})));
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuRomStatus(kOpRead)));
    XuRecord(s, 1, kKsPropertyGetTopology, Bytes(30, 0));
    XuRecord(s, 2, kKsPropertyGetTopology, Bytes(256, 0));
    const uint8_t values[2] = {0xFF, 0xFF};
    XuRecord(s, 1, kKsPropertySetTopology,
             Block(XuIoAccessI2c(I2C_WRITE, 0x78, 2, 0x1002, 2, values)));
    XuRecord(s, 1, kKsPropertySetTopology,
             Block(XuIoAccessI2c(I2C_READ, 0x78, 2, 0x0301, 1, nullptr)));
    XuRecord(s, 1, kKsPropertyGetTopology, Bytes(30, 0));
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuIoAccessGpio(GPIO_SET, 0xFF)));
    XuRecord(s, 1, kKsPropertySetTopology, Block(XuIoAccessGpio(GPIO_GET, 0)));
    XuRecord(s, 1, kKsPropertyGetTopology, Bytes(30, 0));
    Save(corpus / "sim_xu", "session.bin", s);
  }

  // Headers: as MAKE writes them, with and without an image, ahead of
  // HW/FW bytes; and a blank sector.
  for (uint32_t imageLength : {0u, 5000u}) {
    const auto header = EncodeRomHeader(DefaultRomHeader(imageLength));
    Bytes sector(header.begin(), header.end());
    sector.resize(kRomSectorSize, 0x11);
    Save(corpus / "rom_header", "kesh_image_" + std::to_string(imageLength) + ".bin", sector);
  }
  Save(corpus / "rom_header", "blank.bin", Bytes(kRomSectorSize, 0xFF));
  return 0;
}
