// The extension unit: IKsControl::KsProperty with a KSP_NODE on the unit's
// node. Two controls carry everything: the request control (a 30-byte
// value naming the request, its index and length, then its parameters; read
// back for the answer) and the data control (256 bytes of ROM data).
#include <cstring>

#include "common/base/bytes.h"
#include "common/base/numbers.h"
#include "sim/device/firmware.h"

namespace zemb::sim {

namespace {

// The unit's two controls, by selector (the property id).
constexpr uint32_t kXuRequestSelector = 1;
constexpr uint32_t kXuDataSelector = 2;
constexpr uint32_t kXuDataSize = 256;
constexpr uint32_t kKspNodeSize = 32;  // KSPROPERTY (24 bytes), NodeId, Reserved

// KSPROPERTY Flags.
constexpr uint32_t kKsGet = 0x00000001;         // KSPROPERTY_TYPE_GET
constexpr uint32_t kKsSet = 0x00000002;         // KSPROPERTY_TYPE_SET
constexpr uint32_t kKsSetSupport = 0x00000100;  // KSPROPERTY_TYPE_SETSUPPORT
constexpr uint32_t kKsTopology = 0x10000000;    // KSPROPERTY_TYPE_TOPOLOGY

constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);

HResult HresultFromWin32(uint32_t error) {
  if (error & 0x80000000u) return static_cast<HResult>(error);  // already an HRESULT
  return static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
}
// A stalled control pipe, as the USB video class driver reports it.
const HResult kHrStall = HresultFromWin32(kErrorGenFailure);

}  // namespace

HResult XuFace::KsProperty(const uint8_t* property, uint32_t propertyLength, uint8_t* data,
                           uint32_t dataLength, uint32_t* bytesReturned) {
  if (bytesReturned) *bytesReturned = 0;
  TraceEntry t;
  t.face = Face::Xu;
  t.wireLength = dataLength;
  auto fail = [&](HResult hr, std::string note) {
    t.failed = true;
    if (!note.empty()) t.note = std::move(note);
    fw_.trace.push_back(t);
    return hr;
  };
  if (!fw_.state.xuFace) {
    return fail(HresultFromWin32(kErrorDeviceNotConnected), "the device has no extension unit");
  }
  if (property == nullptr || propertyLength < kKspNodeSize) {
    return fail(kHrInvalidArg, "property shorter than KSP_NODE");
  }
  Guid set;
  set.Data1 = GetLe32(property);
  set.Data2 = GetLe16(property + 4);
  set.Data3 = GetLe16(property + 6);
  std::memcpy(set.Data4, property + 8, 8);
  const uint32_t id = GetLe32(property + 16);
  const uint32_t flags = GetLe32(property + 20);
  const uint32_t node = GetLe32(property + 24);
  t.op = static_cast<uint8_t>(id);
  if (!(set == kXuPropertySet)) {
    return fail(kHrSetNotFound, "property set " + GuidToString(set));
  }
  if ((flags & kKsTopology) == 0) return fail(kHrSetNotFound, "not a node property");
  if (node != fw_.state.xuNodeId) {
    return fail(kHrSetNotFound,
                "node " + Dec(node) + ", the extension unit is node " + Dec(fw_.state.xuNodeId));
  }
  // KSP_NODE's last field is reserved and must be zero; the class driver
  // refuses the request otherwise.
  if (const uint32_t reserved = GetLe32(property + 28); reserved != 0) {
    return fail(kHrInvalidArg, "KSP_NODE Reserved is " + HexText(reserved, 8) + ", not 0");
  }
  const uint32_t type = flags & ~kKsTopology;
  if (type == kKsSetSupport) {
    if (auto error = fw_.CountRequest({RequestKind::Any}, t)) {
      return fail(HresultFromWin32(*error), "");
    }
    fw_.clock.AdvanceUs(fw_.state.timing.controlTransferUs);
    fw_.trace.push_back(t);
    return kHrOk;
  }
  if (type != kKsGet && type != kKsSet) {
    return fail(HresultFromWin32(kErrorNotSupported), "property flags " + HexText(flags, 8));
  }
  const bool write = type == kKsSet;
  t.toDevice = write;
  if (id != kXuRequestSelector && id != kXuDataSelector) {
    return fail(kHrNotFound, "no control with selector " + Dec(id));
  }
  const uint32_t size = id == kXuRequestSelector ? kRequestSize : kXuDataSize;
  if (data == nullptr) return fail(kHrPointer, "no data buffer");
  const RequestKind face = write ? RequestKind::XuWrite : RequestKind::XuRead;
  if (id == kXuDataSelector) {
    t.kind = RequestKind::RomData;
  } else if (write && dataLength >= 1) {
    t.kind = KindOfRequest(data[0]);
  } else {
    t.kind = face;
  }
  if (auto error = fw_.CountRequest({t.kind, face}, t)) return fail(HresultFromWin32(*error), "");
  if (dataLength != size) {
    return fail(kHrInvalidArg,
                "control " + Dec(id) + " holds " + Dec(size) + " bytes, not " + Dec(dataLength));
  }
  fw_.clock.AdvanceUs(fw_.state.timing.controlTransferUs);
  Verdict v;
  if (write) {
    const std::vector<uint8_t> value(data, data + size);
    v = id == kXuRequestSelector ? RequestWrite(value.data(), t) : DataWrite(value.data(), t);
  } else {
    v = id == kXuRequestSelector ? RequestRead(data, t) : DataRead(data, t);
  }
  if (v) return fail(kHrStall, "stall: " + v->note);
  uint32_t returned = size;
  if (!write && fw_.ShortReadFaultFires(Face::Xu)) {
    returned = size - 1;
    t.failed = true;
    t.note = "fault: read returned " + Dec(returned) + " of " + Dec(size) + " bytes";
  }
  if (bytesReturned) *bytesReturned = returned;
  fw_.trace.push_back(t);
  return kHrOk;
}

Verdict XuFace::RequestWrite(const uint8_t* b, TraceEntry& t) {
  const uint8_t request = b[0];
  const uint16_t value = GetLe16(b + 1);
  const uint16_t index = GetLe16(b + 3);
  const uint16_t length = GetLe16(b + 5);
  const uint8_t* p = b + 7;
  auto keepAnswer = [&]() {
    std::array<uint8_t, kRequestSize> answer;
    std::memcpy(answer.data(), b, kRequestSize);
    answer_ = answer;
    return &(*answer_)[0];
  };
  auto expect = [&](uint16_t wantIndex, uint16_t wantLength, const std::string& name) -> Verdict {
    if (index != wantIndex) return Refuse(name + " with index " + HexText(index, 4));
    if (length != wantLength) {
      return Refuse(name + " with length " + Dec(length) + ", not " + Dec(wantLength));
    }
    return std::nullopt;
  };
  if (value != 0)
    return Refuse("request " + HexText(request, 2) + " with value " + HexText(value, 4));
  switch (request) {
    case kReqAccessRom: {
      if (Verdict v = expect(0, kAccessRomBlockSize, "ACCESS_ROM")) return v;
      const RomRequest r = RomRequest::FromLeBlock(p);
      t.op = r.op;
      t.address = r.address;
      t.length = r.length;
      if (Verdict v = fw_.CheckRomRequest(r, kXuDataSize)) return v;
      if (r.op == kOpWrite && (!fw_.staged || fw_.staged->size() != kXuDataSize)) {
        return Refuse("write started with no data in the data control");
      }
      fw_.StartRomOp(r, fw_.staged ? fw_.staged->data() : nullptr, t);
      if (r.op == kOpWrite) fw_.staged.reset();
      answer_.reset();
      return std::nullopt;
    }
    case kReqRomStatus:
      t.op = static_cast<uint8_t>(index);
      if (Verdict v = expect(index, 2, "GET_ROMLD_STATUS")) return v;
      if (!fw_.lastOp || fw_.lastOp->op != index) {
        return Refuse("status of operation " + HexText(index, 2) + ", which was not started last");
      }
      keepAnswer();  // filled in when the host reads it
      return std::nullopt;
    case kReqRomType: {
      if (Verdict v = expect(0, 1, "GET_ROM_TYPE")) return v;
      keepAnswer()[7] = fw_.state.romKind == RomKind::Spi ? 1 : 0;
      return std::nullopt;
    }
    case kReqIoAccess: {
      t.op = static_cast<uint8_t>(index);
      switch (index) {
        case kIoI2cRead:
        case kIoI2cWrite: {
          const bool writeI2c = index == kIoI2cWrite;
          t.toDevice = writeI2c;
          if (Verdict v = expect(index, 23, "IO_ACCESS I2C")) return v;
          std::vector<uint8_t> bytes;
          if (Verdict v =
                  fw_.I2cTransfer(p[0], p[1], p + 2, p[6], writeI2c ? p + 7 : nullptr, &bytes, t)) {
            return v;
          }
          if (writeI2c) {
            answer_.reset();
          } else {
            uint8_t* answer = keepAnswer();
            if (!bytes.empty()) std::memcpy(answer + 14, bytes.data(), bytes.size());
          }
          return std::nullopt;
        }
        case kIoGpioGet:
          t.length = 1;
          if (Verdict v = expect(index, 1, "IO_ACCESS GPIO")) return v;
          keepAnswer()[7] = fw_.state.gpioData;
          return std::nullopt;
        case kIoGpioSet:
        case kIoGpioSetDir:
          t.length = 1;
          if (Verdict v = expect(index, 1, "IO_ACCESS GPIO")) return v;
          (index == kIoGpioSet ? fw_.state.gpioData : fw_.state.gpioDirection) = p[0];
          answer_.reset();
          return std::nullopt;
        default:
          return Refuse("unknown IO_ACCESS sub-command " + HexText(index, 2));
      }
    }
    default:
      return Refuse("request " + HexText(request, 2) + " is not carried by the extension unit");
  }
}

Verdict XuFace::RequestRead(uint8_t* out, TraceEntry& t) {
  if (!answer_) return Refuse("read of the request control with no request to answer");
  std::array<uint8_t, kRequestSize> answer = *answer_;
  t.op = static_cast<uint8_t>(GetLe16(answer.data() + 3));
  if (answer[0] == kReqRomStatus) {
    answer[7] = fw_.Finished(t.op) ? 0x01 : 0x00;
    answer[8] = t.op;
  }
  t.length = kRequestSize;
  std::memcpy(out, answer.data(), answer.size());
  return std::nullopt;
}

Verdict XuFace::DataWrite(const uint8_t* value, TraceEntry& t) {
  fw_.staged = std::vector<uint8_t>(value, value + kXuDataSize);
  t.length = kXuDataSize;
  return std::nullopt;
}

Verdict XuFace::DataRead(uint8_t* out, TraceEntry& t) {
  if (!fw_.Finished(kOpRead)) return Refuse("read of the data control with no finished ROM read");
  std::memset(out, 0, kXuDataSize);
  if (!fw_.readData.empty()) std::memcpy(out, fw_.readData.data(), fw_.readData.size());
  t.length = static_cast<uint32_t>(fw_.readData.size());
  return std::nullopt;
}

}  // namespace zemb::sim
