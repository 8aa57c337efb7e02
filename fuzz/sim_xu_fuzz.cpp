// SimDevice::XuKsProperty with arbitrary properties and control values.
#include "fuzz/sim_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  return fuzz::RunRequests(
      data, size, sim::Face::Xu, [](sim::SimDevice& device, uint8_t flags, fuzz::ByteReader& in) {
        const uint32_t propertyLength = in.Le16();
        const uint32_t dataLength = in.Le16();
        const std::vector<uint8_t> propertyBytes = in.Bytes(propertyLength);
        const std::vector<uint8_t> dataBytes = in.Bytes(dataLength);

        auto property = fuzz::ExactBuffer(propertyBytes, propertyLength);
        auto value = fuzz::ExactBuffer(dataBytes, flags & fuzz::kNullBuffers ? 0 : dataLength);
        uint32_t returned = 0xDEADBEEF;
        const HResult hr =
            device.XuKsProperty(property.get(), propertyLength, value.get(), dataLength,
                                flags & fuzz::kNoByteCount ? nullptr : &returned);
        if (!(flags & fuzz::kNoByteCount)) {
          ZEMB_FUZZ_CHECK(returned <= dataLength);
          if (!Succeeded(hr)) ZEMB_FUZZ_CHECK(returned == 0);
        }
      });
}
