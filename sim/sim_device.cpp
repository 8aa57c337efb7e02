// The simulated device: its clocks, a new device's state, and the device
// object that joins the firmware (sim/device/firmware.*) to its three faces
// (sim/device/face_*.cpp). Each face decodes the raw bytes it gets with its
// own code; the layouts are written out there on purpose, apart from the
// tools' encoders, so that a mistake on one side shows up as a refusal
// instead of passing both ways.
#include "sim/sim_device.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "sim/device/firmware.h"

namespace zemb::sim {

const Guid kXuPropertySet = {
    0xC66D125B, 0x0480, 0x0844, {0x8C, 0x26, 0xB8, 0x36, 0x3A, 0x84, 0xDE, 0x63}};

namespace {

uint64_t SteadyNowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

RealClock::RealClock() : start_(SteadyNowUs()) {}

uint64_t RealClock::NowUs() const {
  return SteadyNowUs() - start_;
}

void RealClock::AdvanceUs(uint64_t microseconds) {
  // Windows sleeps in whole milliseconds and wakes early from a shorter
  // sleep; the busy time must really have passed when this returns, or the
  // device refuses the next request as still busy.
  const uint64_t end = SteadyNowUs() + microseconds;
  for (uint64_t now = SteadyNowUs(); now < end; now = SteadyNowUs()) {
    std::this_thread::sleep_for(std::chrono::microseconds(end - now));
  }
}

DeviceState DefaultDeviceState(RomKind kind, uint32_t romSize) {
  DeviceState state;
  state.romKind = kind;
  state.rom.assign(romSize, 0xFF);
  // A display bridge with 16-bit register addresses and a small EEPROM-like
  // part with 8-bit ones, so both address sizes have somewhere to go.
  state.i2c[0x78].registers.assign(0x10000, 0x00);
  state.i2c[0x50].registers.assign(0x100, 0x00);
  return state;
}

// The firmware and the faces that reach it; the faces hold the firmware by
// reference, so they are built after it and live as long as it does.
struct SimDevice::Parts {
  Parts(DeviceState& state, Clock& clock, std::vector<TraceEntry>& trace)
      : firmware(state, clock, trace), own(firmware), cdrom(firmware), xu(firmware) {}
  Firmware firmware;
  OwnDriverFace own;
  CdromFace cdrom;
  XuFace xu;
};

SimDevice::SimDevice(DeviceState state, Clock& clock)
    : state_(std::move(state)),
      clock_(clock),
      parts_(std::make_unique<Parts>(state_, clock_, trace_)) {}

SimDevice::~SimDevice() = default;

bool SimDevice::TakeRomChange(size_t* begin, size_t* end) {
  Firmware& fw = parts_->firmware;
  *begin = fw.romChangeBegin;
  *end = std::min(fw.romChangeEnd, state_.rom.size());
  fw.romChangeBegin = fw.romChangeEnd = 0;
  return *begin < *end;
}

void SimDevice::RestartFaultCounts() {
  parts_->firmware.RestartFaultCounts();
}

IoctlResult SimDevice::OwnDriverIoctl(uint32_t code, const uint8_t* in, uint32_t inLength,
                                      uint8_t* out, uint32_t outLength) {
  return parts_->own.Ioctl(code, in, inLength, out, outLength);
}

IoctlResult SimDevice::CdromIoctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                                  uint32_t outLength, uint32_t headerLength) {
  return parts_->cdrom.Ioctl(code, in, inLength, out, outLength, headerLength);
}

HResult SimDevice::XuKsProperty(const uint8_t* property, uint32_t propertyLength, uint8_t* data,
                                uint32_t dataLength, uint32_t* bytesReturned) {
  return parts_->xu.KsProperty(property, propertyLength, data, dataLength, bytesReturned);
}

}  // namespace zemb::sim
