// Translation of an IOCTL_SCSI_PASS_THROUGH packet between the layout the
// portable code builds (the 32-bit SCSI_PASS_THROUGH: 44-byte header, 32-bit
// DataBufferOffset) and the one a 64-bit process must hand Windows (56-byte
// header, pointer-sized DataBufferOffset). Pure byte work, no Windows headers,
// so the same code is unit-tested natively; win32_host.cpp proves these
// offsets against <ntddscsi.h> with static_assert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "common/base/bytes.h"
#include "common/host/host.h"

namespace zemb::scsi_layout {

// Fields at the same place in both layouts.
constexpr uint32_t kLengthOffset = 0;  // u16
constexpr uint32_t kScsiStatusOffset = 2;
constexpr uint32_t kPathIdOffset = 3;
constexpr uint32_t kTargetIdOffset = 4;
constexpr uint32_t kLunOffset = 5;
constexpr uint32_t kCdbLengthOffset = 6;
constexpr uint32_t kSenseInfoLengthOffset = 7;
constexpr uint32_t kDataInOffset = 8;
constexpr uint32_t kDataTransferLengthOffset = 12;  // u32
constexpr uint32_t kTimeOutValueOffset = 16;        // u32
constexpr uint32_t kCdbSize = 16;

// The 32-bit header, as the portable code builds it.
constexpr uint32_t kX86HeaderSize = 44;
constexpr uint32_t kX86DataBufferOffsetOffset = 20;  // u32
constexpr uint32_t kX86SenseInfoOffsetOffset = 24;   // u32
constexpr uint32_t kX86CdbOffset = 28;

// The 64-bit header.
constexpr uint32_t kX64HeaderSize = 56;
constexpr uint32_t kX64DataBufferOffsetOffset = 24;  // u64 (ULONG_PTR)
constexpr uint32_t kX64SenseInfoOffsetOffset = 32;   // u32
constexpr uint32_t kX64CdbOffset = 36;
// The native sense area follows the header; the data area starts at the next
// 8-byte boundary after it, which satisfies any adapter alignment mask a
// pass-through buffer is checked against.
constexpr uint32_t kX64SenseOffset = kX64HeaderSize;
constexpr uint32_t kX64DataAlignment = 8;

// The packet's fields are little-endian, as Windows lays them out.
inline uint16_t Get16(const uint8_t* p) {
  return GetLe16(p);
}
inline uint32_t Get32(const uint8_t* p) {
  return GetLe32(p);
}
inline void Put16(uint8_t* p, uint16_t v) {
  PutLe16(p, v);
}
inline void Put32(uint8_t* p, uint32_t v) {
  PutLe32(p, v);
}
inline void Put64(uint8_t* p, uint64_t v) {
  PutLe64(p, v);
}

// One request in the 64-bit layout, with what is needed to write the answer
// back in the portable layout. `bytes` is the buffer to pass to
// DeviceIoControl as both input and output, `size` bytes long.
struct X64Packet {
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
  uint32_t dataOffset = 0;  // of the native data area
  // The portable request's header and where its areas lie.
  uint8_t portableHeader[kX86HeaderSize] = {};
  uint32_t senseOffset = 0, senseLength = 0;
  uint32_t dataBufferOffset = 0, dataLength = 0;
};

// Builds the 64-bit packet from a portable `request` whose answer will go to
// a buffer of `answerLength` bytes. Returns kErrorSuccess, or the error to
// report without calling the driver: kErrorRevisionMismatch when the header's
// Length is not 44 (what Windows answers for a header of the wrong size),
// kErrorInvalidParameter when a buffer is shorter than the header, the CDB is
// longer than 16 bytes or the sense or data area does not lie inside both
// buffers after the header, kErrorNotEnoughMemory when the packet cannot be
// allocated.
inline uint32_t ToX64(std::span<const uint8_t> request, uint32_t answerLength, X64Packet* packet) {
  if (request.size() < kX86HeaderSize || answerLength < kX86HeaderSize) {
    return kErrorInvalidParameter;
  }
  const uint8_t* in = request.data();
  if (Get16(in + kLengthOffset) != kX86HeaderSize) return kErrorRevisionMismatch;
  if (in[kCdbLengthOffset] > kCdbSize) return kErrorInvalidParameter;

  X64Packet& p = *packet;
  std::memcpy(p.portableHeader, in, kX86HeaderSize);
  p.senseLength = in[kSenseInfoLengthOffset];
  p.senseOffset = Get32(in + kX86SenseInfoOffsetOffset);
  p.dataLength = Get32(in + kDataTransferLengthOffset);
  p.dataBufferOffset = Get32(in + kX86DataBufferOffsetOffset);

  // Both areas are copied in from the request and back into the answer, so
  // each must lie inside both; 64-bit sums cannot wrap.
  const uint64_t limit = request.size() < answerLength ? request.size() : answerLength;
  auto inside = [limit](uint64_t offset, uint64_t length) {
    return length == 0 || (offset >= kX86HeaderSize && offset + length <= limit);
  };
  if (!inside(p.senseOffset, p.senseLength) || !inside(p.dataBufferOffset, p.dataLength)) {
    return kErrorInvalidParameter;
  }

  const uint64_t senseEnd = uint64_t{kX64SenseOffset} + p.senseLength;
  const uint64_t dataOffset =
      (senseEnd + kX64DataAlignment - 1) / kX64DataAlignment * kX64DataAlignment;
  const uint64_t size = dataOffset + p.dataLength;
  if (size > UINT32_MAX) return kErrorInvalidParameter;
  p.dataOffset = static_cast<uint32_t>(dataOffset);
  p.size = static_cast<uint32_t>(size);
  p.bytes.reset(new (std::nothrow) uint8_t[p.size]());
  if (!p.bytes) return kErrorNotEnoughMemory;

  uint8_t* out = p.bytes.get();
  Put16(out + kLengthOffset, static_cast<uint16_t>(kX64HeaderSize));
  std::memcpy(out + kScsiStatusOffset, in + kScsiStatusOffset,
              kDataInOffset + 1 - kScsiStatusOffset);
  Put32(out + kDataTransferLengthOffset, p.dataLength);
  Put32(out + kTimeOutValueOffset, Get32(in + kTimeOutValueOffset));
  Put64(out + kX64DataBufferOffsetOffset, p.dataOffset);
  Put32(out + kX64SenseInfoOffsetOffset, kX64SenseOffset);
  std::memcpy(out + kX64CdbOffset, in + kX86CdbOffset, kCdbSize);
  if (p.senseLength != 0) std::memcpy(out + kX64SenseOffset, in + p.senseOffset, p.senseLength);
  if (p.dataLength != 0) std::memcpy(out + p.dataOffset, in + p.dataBufferOffset, p.dataLength);
  return kErrorSuccess;
}

// Writes the driver's answer, left in `packet.bytes` after a successful call
// that reported `nativeReturned` bytes, into `answer` in the portable layout:
// the request's header with the driver's ScsiStatus, SenseInfoLength and
// DataTransferLength (never more than the request allowed), then the sense
// and data areas at their portable offsets. Returns the byte count in
// portable terms: the same position in the portable layout that
// `nativeReturned` marks in the native one.
inline uint32_t FromX64(const X64Packet& packet, uint32_t nativeReturned,
                        std::span<uint8_t> answer) {
  const uint8_t* native = packet.bytes.get();
  uint8_t* out = answer.data();
  std::memcpy(out, packet.portableHeader, kX86HeaderSize);
  out[kScsiStatusOffset] = native[kScsiStatusOffset];
  const uint32_t senseLength = native[kSenseInfoLengthOffset];
  out[kSenseInfoLengthOffset] =
      static_cast<uint8_t>(senseLength < packet.senseLength ? senseLength : packet.senseLength);
  const uint32_t dataLength = Get32(native + kDataTransferLengthOffset);
  Put32(out + kDataTransferLengthOffset,
        dataLength < packet.dataLength ? dataLength : packet.dataLength);
  if (packet.senseLength != 0) {
    std::memcpy(out + packet.senseOffset, native + kX64SenseOffset, packet.senseLength);
  }
  if (packet.dataLength != 0) {
    std::memcpy(out + packet.dataBufferOffset, native + packet.dataOffset, packet.dataLength);
  }

  const uint32_t n = nativeReturned < packet.size ? nativeReturned : packet.size;
  uint64_t portable;
  if (n >= packet.dataOffset && packet.dataLength != 0) {
    portable = uint64_t{packet.dataBufferOffset} + (n - packet.dataOffset);
  } else if (n >= kX64SenseOffset && packet.senseLength != 0) {
    const uint32_t intoSense = n - kX64SenseOffset;
    portable = uint64_t{packet.senseOffset} +
               (intoSense < packet.senseLength ? intoSense : packet.senseLength);
  } else {
    portable = n < kX86HeaderSize ? n : kX86HeaderSize;
  }
  return static_cast<uint32_t>(portable < answer.size() ? portable : answer.size());
}

}  // namespace zemb::scsi_layout
