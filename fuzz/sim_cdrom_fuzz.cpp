// SimDevice::CdromIoctl with arbitrary pass-through and storage-query
// buffers, on both port-driver header sizes.
#include "fuzz/sim_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  return fuzz::RunRequests(
      data, size, sim::Face::Cdrom,
      [](sim::SimDevice& device, uint8_t flags, fuzz::ByteReader& in) {
        const uint32_t faceCode = flags & fuzz::kStorageQuery ? sim::kIoctlStorageQueryProperty
                                                              : sim::kIoctlScsiPassThrough;
        const fuzz::IoctlRecord r = fuzz::ReadIoctlRecord(in, flags, faceCode);
        const uint32_t headerLength = flags & fuzz::kWideHeader ? 56 : 44;
        fuzz::SendIoctl(
            flags, r, [&](uint8_t* input, uint32_t inLength, uint8_t* output, uint32_t outLength) {
              return device.CdromIoctl(r.code, input, inLength, output, outLength, headerLength);
            });
      });
}
