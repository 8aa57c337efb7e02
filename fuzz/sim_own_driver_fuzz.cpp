// SimDevice::OwnDriverIoctl with arbitrary request buffers.
#include "fuzz/sim_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  return fuzz::RunRequests(
      data, size, sim::Face::Own, [](sim::SimDevice& device, uint8_t flags, fuzz::ByteReader& in) {
        const fuzz::IoctlRecord r = fuzz::ReadIoctlRecord(in, flags, sim::kOwnDriverIoctl);
        fuzz::SendIoctl(
            flags, r, [&](uint8_t* input, uint32_t inLength, uint8_t* output, uint32_t outLength) {
              return device.OwnDriverIoctl(r.code, input, inLength, output, outLength);
            });
      });
}
