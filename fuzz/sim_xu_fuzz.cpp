// SimDevice::XuKsProperty with arbitrary properties and control values.
#include "fuzz/sim_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::ByteReader in(data, size);
  sim::VirtualClock clock;
  sim::SimDevice device(fuzz::FuzzDevice(in.Byte(), sim::Face::Xu), clock);
  const size_t romSize = device.State().rom.size();
  for (size_t n = 0; n < fuzz::kMaxRequests && !in.Empty(); ++n) {
    const uint8_t flags = in.Byte();
    const uint8_t pauseMs = in.Byte();
    const uint32_t propertyLength = in.Le16();
    const uint32_t dataLength = in.Le16();
    const std::vector<uint8_t> propertyBytes = in.Bytes(propertyLength);
    const std::vector<uint8_t> dataBytes = in.Bytes(dataLength);

    auto property = fuzz::ExactBuffer(propertyBytes, propertyLength);
    auto value = fuzz::ExactBuffer(dataBytes, flags & fuzz::kNullBuffers ? 0 : dataLength);
    uint32_t returned = 0xDEADBEEF;
    const size_t before = device.Trace().size();
    const HResult hr = device.XuKsProperty(property.get(), propertyLength, value.get(), dataLength,
                                           flags & fuzz::kNoByteCount ? nullptr : &returned);
    if (!(flags & fuzz::kNoByteCount)) {
      ZEMB_FUZZ_CHECK(returned <= dataLength);
      if (!Succeeded(hr)) ZEMB_FUZZ_CHECK(returned == 0);
    }
    fuzz::CheckDeviceInvariants(device, before, romSize);
    clock.AdvanceUs(uint64_t{pauseMs} * 1000);
  }
  return 0;
}
