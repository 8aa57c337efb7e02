// SimDevice::CdromIoctl with arbitrary pass-through and storage-query
// buffers, on both port-driver header sizes.
#include "fuzz/sim_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::ByteReader in(data, size);
  sim::VirtualClock clock;
  sim::SimDevice device(fuzz::FuzzDevice(in.Byte(), sim::Face::Cdrom), clock);
  const size_t romSize = device.State().rom.size();
  for (size_t n = 0; n < fuzz::kMaxRequests && !in.Empty(); ++n) {
    const uint8_t flags = in.Byte();
    const uint8_t pauseMs = in.Byte();
    const uint32_t inLength = in.Le16();
    const uint32_t outLength = flags & fuzz::kOwnOutLength ? in.Le16() : inLength;
    uint32_t code =
        flags & fuzz::kStorageQuery ? sim::kIoctlStorageQueryProperty : sim::kIoctlScsiPassThrough;
    if (flags & fuzz::kOtherCode) code = in.Le32();
    const uint32_t headerLength = flags & fuzz::kWideHeader ? 56 : 44;
    const std::vector<uint8_t> bytes = in.Bytes(inLength);

    const size_t before = device.Trace().size();
    sim::IoctlResult result;
    if (flags & fuzz::kNullBuffers) {
      result = device.CdromIoctl(code, nullptr, inLength, nullptr, outLength, headerLength);
    } else if (flags & fuzz::kSameBuffer) {
      auto buffer = fuzz::ExactBuffer(bytes, inLength);
      result =
          device.CdromIoctl(code, buffer.get(), inLength, buffer.get(), inLength, headerLength);
      ZEMB_FUZZ_CHECK(result.bytesReturned <= inLength);
    } else {
      auto input = fuzz::ExactBuffer(bytes, inLength);
      auto output = fuzz::ExactBuffer({}, outLength);
      result =
          device.CdromIoctl(code, input.get(), inLength, output.get(), outLength, headerLength);
      ZEMB_FUZZ_CHECK(result.bytesReturned <= outLength);
    }
    ZEMB_FUZZ_CHECK(result.ok == (result.error == kErrorSuccess));
    fuzz::CheckDeviceInvariants(device, before, romSize);
    clock.AdvanceUs(uint64_t{pauseMs} * 1000);
  }
  return 0;
}
