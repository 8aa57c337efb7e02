// SimDevice::OwnDriverIoctl with arbitrary request buffers.
#include "fuzz/sim_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::ByteReader in(data, size);
  sim::VirtualClock clock;
  sim::SimDevice device(fuzz::FuzzDevice(in.Byte(), sim::Face::Own), clock);
  const size_t romSize = device.State().rom.size();
  for (size_t n = 0; n < fuzz::kMaxRequests && !in.Empty(); ++n) {
    const uint8_t flags = in.Byte();
    const uint8_t pauseMs = in.Byte();
    const uint32_t inLength = in.Le16();
    const uint32_t outLength = flags & fuzz::kOwnOutLength ? in.Le16() : inLength;
    const uint32_t code = flags & fuzz::kOtherCode ? in.Le32() : sim::kOwnDriverIoctl;
    const std::vector<uint8_t> bytes = in.Bytes(inLength);

    const size_t before = device.Trace().size();
    sim::IoctlResult result;
    if (flags & fuzz::kNullBuffers) {
      result = device.OwnDriverIoctl(code, nullptr, inLength, nullptr, outLength);
    } else if (flags & fuzz::kSameBuffer) {
      auto buffer = fuzz::ExactBuffer(bytes, inLength);
      result = device.OwnDriverIoctl(code, buffer.get(), inLength, buffer.get(), inLength);
      ZEMB_FUZZ_CHECK(result.bytesReturned <= inLength);
    } else {
      auto input = fuzz::ExactBuffer(bytes, inLength);
      auto output = fuzz::ExactBuffer({}, outLength);
      result = device.OwnDriverIoctl(code, input.get(), inLength, output.get(), outLength);
      ZEMB_FUZZ_CHECK(result.bytesReturned <= outLength);
    }
    ZEMB_FUZZ_CHECK(result.ok == (result.error == kErrorSuccess));
    if (!result.ok) ZEMB_FUZZ_CHECK(result.bytesReturned == 0);
    fuzz::CheckDeviceInvariants(device, before, romSize);
    clock.AdvanceUs(uint64_t{pauseMs} * 1000);
  }
  return 0;
}
