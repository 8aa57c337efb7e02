// The simulated firmware's request decoders under fuzzing: a sequence of
// requests, each with its own buffers of exactly the sizes named, so that
// AddressSanitizer sees any access past them; the virtual clock moves
// between requests so that ROM operations can finish.
//
// An input is one byte choosing the ROM kind, then request records. A
// record: flags (1 byte), a pause in milliseconds (1), the input length (2,
// little-endian), then per the flags an output length (2) and a control code
// (4), then the input bytes. The extension unit's record has a property
// length and a data length (2 each) in place of the input and output
// lengths, then the property bytes and the data bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sim/sim_device.h"

namespace zemb::fuzz {

constexpr uint8_t kOwnOutLength = 0x01;  // the output length differs from the input's
constexpr uint8_t kOtherCode = 0x02;     // a control code other than the face's own
constexpr uint8_t kSameBuffer = 0x04;    // output in place of the input, as the tools do
constexpr uint8_t kNullBuffers = 0x08;   // no buffers at all
constexpr uint8_t kWideHeader = 0x10;    // CD-ROM: the x64 port driver's 56-byte header
constexpr uint8_t kStorageQuery = 0x20;  // CD-ROM: IOCTL_STORAGE_QUERY_PROPERTY
constexpr uint8_t kNoByteCount = 0x40;   // extension unit: no bytesReturned pointer
constexpr size_t kMaxRequests = 48;

// A device with a small ROM on the face under test, and two I2C parts.
inline sim::DeviceState FuzzDevice(uint8_t choice, sim::Face face) {
  sim::DeviceState state =
      sim::DefaultDeviceState(choice & 1 ? sim::RomKind::I2c : sim::RomKind::Spi, 65536);
  state.ownFace = face == sim::Face::Own;
  state.cdromFace = face == sim::Face::Cdrom;
  state.xuFace = face == sim::Face::Xu;
  return state;
}

// A buffer of exactly `size` bytes on the heap (null for 0), filled from
// `bytes` as far as they go.
inline std::unique_ptr<uint8_t[]> ExactBuffer(const std::vector<uint8_t>& bytes, size_t size) {
  if (size == 0) return nullptr;
  auto buffer = std::make_unique<uint8_t[]>(size);
  for (size_t i = 0; i < size; ++i) buffer[i] = i < bytes.size() ? bytes[i] : 0;
  return buffer;
}

// What holds after any request, whatever the device made of it.
inline void CheckDeviceInvariants(const sim::SimDevice& device, size_t traceBefore,
                                  size_t romSize) {
  ZEMB_FUZZ_CHECK(device.State().rom.size() == romSize);
  // Every request the firmware sees leaves exactly one trace entry.
  ZEMB_FUZZ_CHECK(device.Trace().size() == traceBefore + 1);
  ZEMB_FUZZ_CHECK(device.State().i2c.at(0x78).registers.size() == 0x10000);
  ZEMB_FUZZ_CHECK(device.State().i2c.at(0x50).registers.size() == 0x100);
}

// Runs one input's requests on a fresh device with only `face` plugged.
// For each record it reads the flags and the pause, lets `send` read the
// rest of the record and send the request, checks what holds after every
// request, and lets the pause pass on the device's clock.
template <typename Send>
int RunRequests(const uint8_t* data, size_t size, sim::Face face, Send send) {
  ByteReader in(data, size);
  sim::VirtualClock clock;
  sim::SimDevice device(FuzzDevice(in.Byte(), face), clock);
  const size_t romSize = device.State().rom.size();
  for (size_t n = 0; n < kMaxRequests && !in.Empty(); ++n) {
    const uint8_t flags = in.Byte();
    const uint8_t pauseMs = in.Byte();
    const size_t before = device.Trace().size();
    send(device, flags, in);
    CheckDeviceInvariants(device, before, romSize);
    clock.AdvanceUs(uint64_t{pauseMs} * 1000);
  }
  return 0;
}

// The rest of an IOCTL record; `faceCode` is the control code when the
// flags name no other.
struct IoctlRecord {
  uint32_t code = 0;
  uint32_t inLength = 0;
  uint32_t outLength = 0;
  std::vector<uint8_t> bytes;
};

inline IoctlRecord ReadIoctlRecord(ByteReader& in, uint8_t flags, uint32_t faceCode) {
  IoctlRecord r;
  r.inLength = in.Le16();
  r.outLength = flags & kOwnOutLength ? in.Le16() : r.inLength;
  r.code = flags & kOtherCode ? in.Le32() : faceCode;
  r.bytes = in.Bytes(r.inLength);
  return r;
}

// Sends the record through `ioctl(in, inLength, out, outLength)` with no
// buffers, with one buffer for both ways as the tools pass it, or with two
// of the lengths named, and checks the result against the buffers.
template <typename Ioctl>
void SendIoctl(uint8_t flags, const IoctlRecord& r, Ioctl ioctl) {
  sim::IoctlResult result;
  if (flags & kNullBuffers) {
    result = ioctl(nullptr, r.inLength, nullptr, r.outLength);
  } else if (flags & kSameBuffer) {
    auto buffer = ExactBuffer(r.bytes, r.inLength);
    result = ioctl(buffer.get(), r.inLength, buffer.get(), r.inLength);
    ZEMB_FUZZ_CHECK(result.bytesReturned <= r.inLength);
  } else {
    auto input = ExactBuffer(r.bytes, r.inLength);
    auto output = ExactBuffer({}, r.outLength);
    result = ioctl(input.get(), r.inLength, output.get(), r.outLength);
    ZEMB_FUZZ_CHECK(result.bytesReturned <= r.outLength);
  }
  ZEMB_FUZZ_CHECK(result.ok == (result.error == kErrorSuccess));
  if (!result.ok) ZEMB_FUZZ_CHECK(result.bytesReturned == 0);
}

}  // namespace zemb::fuzz
