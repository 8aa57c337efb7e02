#include "common/device/requests.h"

#include <algorithm>
#include <cstring>

#include "common/base/bytes.h"

namespace zemb {

namespace {

Cdb SignedCdb(uint8_t request) {
  Cdb cdb{};
  cdb[0] = request;
  std::memcpy(&cdb[1], "ZEMB", 4);
  return cdb;
}

Cdb CdbRomTransfer(uint8_t op, uint8_t addressSize, uint16_t pageSize, uint32_t address,
                   uint16_t length) {
  Cdb cdb = SignedCdb(ACCESS_ROM);
  cdb[5] = op;
  cdb[6] = addressSize;
  PutBe16(&cdb[7], pageSize);
  PutBe32(&cdb[9], address);
  PutBe16(&cdb[13], length);
  return cdb;
}

XuRequestBlock XuBlock(uint8_t request, uint16_t index, uint16_t length) {
  XuRequestBlock block{};
  block[0] = request;
  PutLe16(&block[3], index);
  PutLe16(&block[5], length);
  return block;
}

}  // namespace

std::array<uint8_t, 12> EncodeAccessRomBlock(const AccessRomBlock& b) {
  std::array<uint8_t, 12> out{};
  out[0] = b.op;
  out[1] = b.addressSize;
  PutLe16(&out[2], b.pageSize);
  PutLe32(&out[4], b.address);
  PutLe16(&out[8], b.length);
  return out;
}

std::vector<uint8_t> EncodeVendorRequest(uint8_t requestType, uint8_t request, uint16_t index,
                                         uint16_t length, std::span<const uint8_t> data,
                                         size_t bufferSize) {
  std::vector<uint8_t> buffer(std::max(bufferSize, kVendorRequestHead), 0);
  buffer[0] = requestType;
  buffer[1] = request;
  PutLe16(&buffer[4], index);
  PutLe16(&buffer[6], length);
  PutLe32(&buffer[12], length);
  size_t n = std::min(data.size(), buffer.size() - kVendorRequestHead);
  std::copy_n(data.begin(), n, buffer.begin() + kVendorRequestHead);
  return buffer;
}

Cdb CdbChipErase() {
  Cdb cdb = SignedCdb(ACCESS_ROM);
  cdb[5] = kOpChipErase;
  return cdb;
}

Cdb CdbSectorErase(uint32_t address) {
  Cdb cdb = SignedCdb(ACCESS_ROM);
  cdb[5] = kOpSectorErase;
  PutBe32(&cdb[9], address);
  return cdb;
}

Cdb CdbRomStatus() {
  Cdb cdb = SignedCdb(GET_ROMLD_STATUS);
  cdb[5] = 0xFF;
  PutBe16(&cdb[13], 2);
  return cdb;
}

Cdb CdbRomRead(uint8_t addressSize, uint16_t pageSize, uint32_t address, uint16_t length) {
  return CdbRomTransfer(kOpRead, addressSize, pageSize, address, length);
}

Cdb CdbRomWrite(uint8_t addressSize, uint16_t pageSize, uint32_t address, uint16_t length) {
  return CdbRomTransfer(kOpWrite, addressSize, pageSize, address, length);
}

Cdb CdbQuery(uint8_t request, uint16_t transferLength) {
  Cdb cdb = SignedCdb(request);
  PutBe16(&cdb[5], transferLength);
  return cdb;
}

Cdb CdbIoAccess(uint8_t subCommand, uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress,
                uint8_t length) {
  Cdb cdb = SignedCdb(IO_ACCESS);
  cdb[5] = i2cAddress;
  cdb[6] = regAddressSize;
  auto field = RegisterAddressField(regAddress, regAddressSize);
  std::copy(field.begin(), field.end(), cdb.begin() + 7);
  cdb[11] = length;
  cdb[12] = subCommand;
  return cdb;
}

void FillPassThrough(std::span<uint8_t, kPassThroughBufferSize> buffer, uint8_t dataIn,
                     uint32_t transferLength, const Cdb& cdb) {
  std::fill(buffer.begin(), buffer.end(), 0);
  uint8_t* p = buffer.data();
  PutLe16(&p[0], static_cast<uint16_t>(kPassThroughHeaderLength));
  p[6] = static_cast<uint8_t>(cdb.size());
  p[7] = kSenseLength;
  p[8] = dataIn;
  PutLe32(&p[12], transferLength);
  PutLe32(&p[16], kPassThroughTimeoutSeconds);
  PutLe32(&p[20], static_cast<uint32_t>(kPassThroughDataOffset));
  PutLe32(&p[24], static_cast<uint32_t>(kSenseOffset));
  std::copy(cdb.begin(), cdb.end(), p + 28);
}

std::array<uint8_t, 32> EncodeKspNode(const Guid& set, uint32_t id, uint32_t flags,
                                      uint32_t nodeId) {
  std::array<uint8_t, 32> out{};
  PutLe32(&out[0], set.Data1);
  PutLe16(&out[4], set.Data2);
  PutLe16(&out[6], set.Data3);
  std::copy(std::begin(set.Data4), std::end(set.Data4), out.begin() + 8);
  PutLe32(&out[16], id);
  PutLe32(&out[20], flags);
  PutLe32(&out[24], nodeId);
  return out;
}

XuRequestBlock XuAccessRom(const AccessRomBlock& block) {
  XuRequestBlock out = XuBlock(ACCESS_ROM, 0, 12);
  auto encoded = EncodeAccessRomBlock(block);
  std::copy(encoded.begin(), encoded.end(), out.begin() + 7);
  return out;
}

XuRequestBlock XuRomStatus(uint8_t op) {
  return XuBlock(GET_ROMLD_STATUS, op, 2);
}

XuRequestBlock XuRomType() {
  return XuBlock(GET_ROM_TYPE, 0, 1);
}

XuRequestBlock XuIoAccessI2c(uint8_t subCommand, uint8_t i2cAddress, uint8_t regAddressSize,
                             uint32_t regAddress, uint8_t length, const uint8_t* data) {
  XuRequestBlock out = XuBlock(IO_ACCESS, subCommand, 23);
  out[7] = i2cAddress;
  out[8] = regAddressSize;
  auto field = RegisterAddressField(regAddress, regAddressSize);
  std::copy(field.begin(), field.end(), out.begin() + 9);
  out[13] = length;
  if (data != nullptr) std::copy_n(data, std::min<size_t>(length, 16), out.begin() + 14);
  return out;
}

XuRequestBlock XuIoAccessGpio(uint8_t subCommand, uint8_t value) {
  XuRequestBlock out = XuBlock(IO_ACCESS, subCommand, 1);
  out[7] = value;
  return out;
}

std::array<uint8_t, 4> RegisterAddressField(uint32_t regAddress, uint8_t regAddressSize) {
  std::array<uint8_t, 4> field{};
  if (regAddressSize >= 4) {
    PutBe32(field.data(), regAddress);
  } else {
    PutBe16(field.data(), static_cast<uint16_t>(regAddress));
  }
  return field;
}

}  // namespace zemb
